// What the flashing tool is started with: its command line and its environment. Portable: it
// only builds texts.
#pragma once

#include <string>
#include <vector>

// The switches the flashing tool is always started with.
inline constexpr wchar_t kKelSwitches[] = L"-s -b";

// "<toolPath> -s -b", with the path in quotation marks when it holds a blank or a tab (else a
// folder name with a blank would split into more arguments).
std::wstring ToolCommandLine(const std::wstring& toolPath);

// The entries ("name=value") of an environment block: zero-terminated strings ended by an empty
// one. Reads up to that empty string.
std::vector<std::wstring> EnvironmentEntries(const wchar_t* block);

// The elevated tool's environment block, zero-terminated entries and a final zero: the
// machine's block |machine| (as a process of no user gets it), of the user's block |user| only
// USERNAME and USERDOMAIN, and TEMP and TMP set to |temp|. Nothing else a user set arrives:
// any process of the user's session can change the user's variables, and variables such as
// COR_PROFILER_PATH, DOTNET_STARTUP_HOOKS, windir or ComSpec steer what the tool loads or starts.
// Entries are sorted by name, letter case ignored, as Windows keeps a block.
std::wstring BuildToolEnvironment(const wchar_t* machine, const wchar_t* user,
                                  const std::wstring& temp);
