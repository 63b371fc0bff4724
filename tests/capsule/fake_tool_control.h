// Orders for, and the record left by, the fake flashing tool (tools/fake_flash_tool): the service
// starts it with nothing but a fixed command line, so both live at a fixed place in the prefix.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace test {

inline constexpr wchar_t kFakeToolFolder[] = L"C:\\FakeFlashTool";

// Makes the next run of the tool exit with |order| ("0", "3010", "1", ...) or, for "sleep",
// wait until it is terminated. Removes the record of an earlier run.
void SetToolOrder(const std::string& order);

// The record of the last run (pid, command_line, working_folder, image, desktop,
// console_processes, marker, upgrade_status), in UTF-8; empty when the tool has not run since
// SetToolOrder.
std::map<std::string, std::string> ReadToolRecord();

// Waits up to |milliseconds| for a record to appear; returns it (empty when none appeared).
std::map<std::string, std::string> WaitForToolRecord(DWORD milliseconds);

}  // namespace test
