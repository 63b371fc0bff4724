#include "logged_records.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstddef>

#include "support/test_support.h"

namespace platform_test {
namespace {

// Where the framework's file listener writes for this program:
// <application data>\qvzLog\<module base name>.log.
std::wstring LogFilePath() {
    wchar_t appData[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
    wchar_t module[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring baseName = module;
    baseName = baseName.substr(baseName.rfind(L'\\') + 1);
    baseName = baseName.substr(0, baseName.rfind(L'.'));
    return std::wstring(appData) + L"\\qvzLog\\" + baseName + L".log";
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    std::wstring wide(::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(),
                          static_cast<int>(wide.size()));
    return wide;
}

// "yyyy/mm/dd hh:mm:ss.mmm|TTTTTTTT|<level, 11 wide>|<function>|<message>"
constexpr size_t kLevelStart = 33;
constexpr size_t kLevelWidth = 11;
constexpr size_t kFunctionStart = kLevelStart + kLevelWidth + 1;

}  // namespace

std::vector<LoggedRecord> ReadLoggedRecords() {
    std::wstring text = FromUtf8(test::ReadFileBytes(LogFilePath()));
    if (!text.empty() && text[0] == L'\xFEFF') {
        text.erase(0, 1);  // the byte-order mark the text stream writes into a new file
    }

    std::vector<LoggedRecord> records;
    for (std::wstring& line : test::SplitLines(text, std::wstring(L"\n"))) {
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        const size_t bar = line.find(L'|', kFunctionStart);
        if (line.size() < kFunctionStart || bar == std::wstring::npos) {
            records.push_back({L"(malformed line)", {}, line});
            continue;
        }
        std::wstring level = line.substr(kLevelStart, kLevelWidth);
        level.erase(level.find_last_not_of(L' ') + 1);
        const std::wstring function = line.substr(kFunctionStart, bar - kFunctionStart);
        records.push_back(
            {level, std::string(function.begin(), function.end()), line.substr(bar + 1)});
    }
    return records;
}

std::vector<LoggedRecord> LogCursor::NewRecords() const {
    std::vector<LoggedRecord> records = ReadLoggedRecords();
    records.erase(records.begin(),
                  records.begin() + static_cast<std::ptrdiff_t>(std::min(start_, records.size())));
    return records;
}

void PrintTo(const LoggedRecord& record, std::ostream* out) {
    *out << "{";
    for (const wchar_t c : record.level) {
        *out << static_cast<char>(c);
    }
    *out << "|" << record.function << "|";
    for (const wchar_t c : record.message) {
        if (c >= 0x20 && c < 0x7F) {
            *out << static_cast<char>(c);
        } else {
            *out << "\\x{" << std::hex << static_cast<unsigned int>(c) << std::dec << "}";
        }
    }
    *out << "}";
}

void RemoveLogFile() {
    ::DeleteFileW(LogFilePath().c_str());
}

}  // namespace platform_test
