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

// The tool's Path: the system's own folders in Windows' default order, from the system directory
// |system| and the Windows directory |windows|: System32, the Windows folder, System32\Wbem and
// System32\WindowsPowerShell\v1.0\. No other folder of the machine's Path is searched by the
// elevated tool: installers put folders there that any user may write.
std::wstring SystemToolPath(const std::wstring& system, const std::wstring& windows);

// The account the tool runs for, as its token names it; empty texts are not passed.
struct ToolAccount {
    std::wstring userName;
    std::wstring userDomain;
};

// The elevated tool's environment block, zero-terminated entries and a final zero: the
// machine's block |machine| (as a process of no user gets it) with Path set to |path|, USERNAME
// and USERDOMAIN from |account| (each only when known) and TEMP and TMP set to |temp|. Nothing a
// user set arrives: any process of the user's session can change the user's variables (even
// those Windows derives from the user's registry), and variables such as COR_PROFILER_PATH,
// DOTNET_STARTUP_HOOKS, windir, ComSpec or Path steer what the tool loads or starts. Entries are
// sorted by name, letter case ignored, as Windows keeps a block.
std::wstring BuildToolEnvironment(const wchar_t* machine, const ToolAccount& account,
                                  const std::wstring& path, const std::wstring& temp);
