#include "capsule/tool_command.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "text/ascii_case.h"

namespace {

// The name of |entry|: up to its first "=" after the first character (the hidden per-drive
// entries such as "=C:=C:\" begin with one).
std::wstring NameOf(const std::wstring& entry) {
    const size_t separator = entry.find(L'=', 1);
    return entry.substr(0, separator);
}

bool NameLess(const std::wstring& a, const std::wstring& b) {
    return text::LessIgnoringAsciiCase(NameOf(a), NameOf(b));
}

}  // namespace

std::wstring ToolCommandLine(const std::wstring& toolPath) {
    const bool quoted = toolPath.find_first_of(L" \t") != std::wstring::npos;
    return (quoted ? L"\"" + toolPath + L"\"" : toolPath) + L" " + kKelSwitches;
}

std::vector<std::wstring> EnvironmentEntries(const wchar_t* block) {
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        entries.emplace_back(entry);
    }
    return entries;
}

std::wstring SystemToolPath(const std::wstring& system, const std::wstring& windows) {
    return system + L";" + windows + L";" + system + L"\\Wbem;" + system +
           L"\\WindowsPowerShell\\v1.0\\";
}

std::wstring BuildToolEnvironment(const wchar_t* machine, const ToolAccount& account,
                                  const std::wstring& path, const std::wstring& temp) {
    const wchar_t* const replaced[] = {L"USERNAME", L"USERDOMAIN", L"TEMP", L"TMP", L"Path"};
    const auto isReplaced = [&](const std::wstring& entry) {
        return std::any_of(std::begin(replaced), std::end(replaced), [&](const wchar_t* name) {
            return text::EqualIgnoringAsciiCase(NameOf(entry), name);
        });
    };
    std::vector<std::wstring> entries;
    for (const std::wstring& entry : EnvironmentEntries(machine)) {
        if (!isReplaced(entry)) {
            entries.push_back(entry);
        }
    }
    if (!account.userName.empty()) {
        entries.push_back(L"USERNAME=" + account.userName);
    }
    if (!account.userDomain.empty()) {
        entries.push_back(L"USERDOMAIN=" + account.userDomain);
    }
    entries.push_back(L"Path=" + path);
    entries.push_back(L"TEMP=" + temp);
    entries.push_back(L"TMP=" + temp);
    std::stable_sort(entries.begin(), entries.end(), NameLess);
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block.append(entry).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}
