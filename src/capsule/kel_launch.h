// Starting the maker's flashing tool and reading its verdict.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "capsule/kel.h"
#include "capsule/tool_command.h"
#include "win/unique_handle.h"

// Capacity, terminator included, of the buffers that hold the tool's path and its command line.
// A longer path or command line is not started (the start fails with ERROR_FILENAME_EXCED_RANGE).
inline constexpr size_t kKelPathCapacity = 261;

// Runs "<folder>\<toolFile> -s -b" (the path quoted when it holds a blank) in |folder| through
// Kel::LaunchWithUi and returns its result. Sets |rebootRequired| to false first; it ends true only
// when the tool exited with 3010. |binaryName| is the capsule being flashed (the tool finds it
// itself). Writes its two result lines to the service log on every path; on false the last error,
// and |control|'s error, are the launch's. |control| is handed to the launch.
bool RunKel(const std::wstring& folder, const std::wstring& toolFile,
            const std::wstring& binaryName, HANDLE stopEvent, bool& rebootRequired,
            LaunchControl* control = nullptr);

// The token linked to |token| (for a user with a split administrator token, the full token);
// empty when there is none or the query fails. |token| stays open and owned by the caller.
win::UniqueHandle GetLinkedToken(HANDLE token);
