// The firmware folders the service creates and uses (the staging folder under the system
// directory and the "Firmware" folder under the Windows directory), made and judged with the
// protected-folder rules of win/protected_files.h, each step logged.
//
// Runs on the service loop's thread.
#pragma once

#include <string>

// Makes sure the firmware folder |path| exists, creating only its last component, with
// SYSTEM and Administrators in full control and Users allowed to read. Returns 0 when the folder
// exists afterwards and may be used, -1 otherwise; the thread's last error then holds the cause.
// An existing folder that win::CheckFolder refuses (it or a folder above it is a reparse point,
// is owned by someone other than SYSTEM, Administrators, TrustedInstaller or the service's own
// account, or lets anyone else change it) is not used: it is logged and reported
// (MSG_CALL_FAILED, "EnsureDirectory") with the verdict. Logs each step to the service log.
int EnsureDirectory(const std::wstring& path);
