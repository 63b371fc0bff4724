// Machine policy of the logging framework.
//
// Every setting is looked up under HKEY_LOCAL_MACHINE, first in the module key
// "Software\Policies\QV\<product name>\<module base name>", then in the product key
// "Software\Policies\QV\<product name>", and otherwise its built-in default applies. The
// product name is the ProductName of the executable's own version resource ("QV NYX Service"
// for the service and for every program carrying its version resource); the module base name
// is the executable's file name without extension ("QvNyxService").
//
// The values: "LoggingType" (text naming the listeners, see ParseLoggingType), "MinLogLevel"
// and "MaxLogLevel" (level names, see ParseLogLevel), "MaxLogSize" (DWORD, KiB) and
// "QueuedWrites" (DWORD, 0 or not) of the file listener.
//
// Any thread may call these functions. None of them reports a failure beyond its result: a
// missing key, a missing value or a value of the wrong type simply leaves the default.
#pragma once

#include <windows.h>

#include <string>

#include "win/unique_handle.h"

namespace QV {
namespace Shared {

// Parent of every product's policy key, below HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kPolicyKeyRoot[] = L"Software\\Policies\\QV\\";

// The ProductName of the executable's version resource (language blocks 040904E4, then
// 040904B0); empty when the executable has no version resource or no product name.
std::wstring ProductNameFromVersionResource();

// Opens the product key and, when that is open and the module base name is known, the module
// key, both with KEY_READ. A key that cannot be opened is left closed (an empty owner).
// Returns whether the product key is open. The owners close the keys; close them once the
// reading is done.
bool OpenPolicyKeys(win::UniqueRegKey& productKey, win::UniqueRegKey& moduleKey);

// The executable's full path and its base name. Returns false, leaving |baseName| unchanged,
// when the path cannot be read or holds no backslash.
bool GetModuleNames(std::wstring& fullPath, std::wstring& baseName);

// Reads the REG_SZ value |valueName| of |key| (at most 512 bytes). Succeeds only when the key
// is open, the value exists with that type and its text is not empty; |value| is changed only
// on success.
bool ReadPolicyString(HKEY key, const wchar_t* valueName, std::wstring& value);

// Reads the REG_DWORD value |valueName| of |key|; |value| is changed only on success.
bool ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD& value);

// Applies "MinLogLevel" and "MaxLogLevel" (module key first, then product key) to a
// listener's range; a level that is not found leaves its bound unchanged. An unknown word
// parses to LogLevelNever: as the minimum it silences the listener, as the maximum it removes
// the upper bound.
void ReadLevelRange(HKEY productKey, HKEY moduleKey, int& minLevel, int& maxLevel);

// Reads "LoggingType" (module key first, then product key) whatever its registry type, as at
// most 64 characters. Returns false when neither key holds it.
bool ReadLoggingType(HKEY productKey, HKEY moduleKey, std::wstring& text);

}  // namespace Shared
}  // namespace QV
