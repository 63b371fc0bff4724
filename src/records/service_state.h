// The service's persistent state: values under its own registry key,
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QvNyxService\ (service_values.h names
// them: the record of the last attempt, and its journal while the record changes).
//
// Every function opens and closes the key itself; no key handle stays open between calls.
// They take no lock: the service touches the values from its loop thread only. Value and
// sub-key names are narrow strings (value names are UTF-8).
//
// Failures are silent: a function returns false, and a reader leaves its output exactly as
// the caller preset it (a value of the wrong type counts as missing). On every failure the
// general readers and writers, and so the service-key functions built on them, leave the
// cause as the thread's last error, so a caller can log GetLastError() right after the call:
// the registry's own status (ERROR_FILE_NOT_FOUND, 2, for a missing key or value), or
// ERROR_UNSUPPORTED_TYPE (1630) for a value of the wrong type or size. On success the last
// error is not touched.
#pragma once

#include <windows.h>

#include <string>

#include "records/service_values.h"

// The service's configuration key under HKEY_LOCAL_MACHINE (with its trailing backslash).
inline constexpr char kServiceKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\QvNyxService\\";

// ---- General functions: any root key; |subKey| null means the root key itself. The sub-key
// is opened with RegOpenKeyA and never created here.

// True when the value exists, is REG_DWORD and holds four bytes; only then is |*value|
// written.
bool RegReadDword(HKEY root, const char* subKey, const std::string& name, DWORD* value);

// True when the value exists and is REG_SZ; only then is |value| replaced. The value's bytes
// as stored (its terminating zero included) are followed by at least one more zero: for a
// stored text of n bytes |value| holds n / 2 + 1 characters, the text followed by zero
// characters. Use the text up to its first zero (value.c_str()). A value stored without a
// terminator still reads as a terminated text.
bool RegReadString(HKEY root, const char* subKey, const std::string& name, std::wstring& value);

// Stores |value| as REG_DWORD. True when written.
bool RegWriteDword(HKEY root, const char* subKey, const std::string& name, DWORD value);

// Stores the text of |value| up to its first zero character as REG_SZ, with one terminating
// zero ((length + 1) * 2 bytes; the empty text is stored as a single zero). True when written.
bool RegWriteString(HKEY root, const char* subKey, const std::string& name,
                    const std::wstring& value);

// ---- The service key.

// Creates the service key when it does not exist. Failures are not reported.
void EnsureServiceKey();

// RegReadDword / RegReadString on the service key. A missing key gives false; the key is not
// created.
bool ReadServiceDword(const std::string& name, DWORD* value);
bool ReadServiceString(const std::string& name, std::wstring& value);

// EnsureServiceKey, then RegWriteDword / RegWriteString on the service key.
bool WriteServiceDword(const std::string& name, DWORD value);
bool WriteServiceString(const std::string& name, std::wstring value);

// ReadServiceDword / WriteServiceDword of UpgradeStatus.
bool ReadUpgradeStatus(UpgradeStatus* status);
bool WriteUpgradeStatus(UpgradeStatus status);

// Removes the value |name| from the service key. True when it was removed or did not exist.
bool DeleteServiceValue(const std::string& name);

// When the service key was last written (UTC); false when the key cannot be opened or read.
bool ReadServiceKeyWriteTime(FILETIME* lastWrite);
