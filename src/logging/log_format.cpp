#include "logging/log_format.h"

#include <cwchar>
#include <string>

#include "text/ascii_case.h"

namespace QV {
namespace Shared {
namespace {

struct LevelNameEntry {
    int level;
    const wchar_t* name;
};

constexpr LevelNameEntry kLevelNames[] = {
    {LogLevelTraceIn, L"TraceIn"}, {LogLevelTraceOut, L"TraceOut"},
    {LogLevelVerbose, L"Verbose"}, {LogLevelInformation, L"Information"},
    {LogLevelWarning, L"Warning"}, {LogLevelError, L"Error"},
    {LogLevelDiag, L"Diag"},
};

// The policy text is read into a 64-character buffer and upper-cased there.
constexpr std::size_t kLoggingTypeCharacters = 63;

}  // namespace

const wchar_t* LogLevelName(int level) {
    for (const LevelNameEntry& entry : kLevelNames) {
        if (entry.level == level) {
            return entry.name;
        }
    }
    return L"Undefined";
}

int ParseLogLevel(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return LogLevelNever;
    }
    for (const LevelNameEntry& entry : kLevelNames) {
        if (text::EqualIgnoringAsciiCase(text, entry.name)) {
            return entry.level;
        }
    }
    // "Never" and every unknown word both give LogLevelNever.
    return LogLevelNever;
}

unsigned int ParseLoggingType(const wchar_t* text) {
    if (text == nullptr) {
        return 0;
    }
    std::wstring upper;
    for (std::size_t i = 0; i < kLoggingTypeCharacters && text[i] != L'\0'; ++i) {
        upper += text::UpperAscii(text[i]);
    }
    unsigned int flags = 0;
    if (upper.find(L"EVENT") != std::wstring::npos) {
        flags |= LogTypeEvent;
    }
    if (upper.find(L"FILE") != std::wstring::npos) {
        flags |= LogTypeFile;
    }
    if (upper.find(L"CONSOLE") != std::wstring::npos) {
        flags |= LogTypeConsole;
    }
    if (upper.find(L"DEBUG") != std::wstring::npos) {
        flags |= LogTypeDebug;
    }
    return flags;
}

unsigned int SelectLogTypes(unsigned int defaultTypes, const wchar_t* loggingType) {
    unsigned int types = defaultTypes & kAllLogTypes;
    if ((types & LogTypeFileQueued) != 0 && (types & LogTypeFile) != 0) {
        types &= ~static_cast<unsigned int>(LogTypeFile);
    }
    const unsigned int fromPolicy = ParseLoggingType(loggingType);
    return fromPolicy != 0 ? fromPolicy : types;
}

std::wstring FormatLogLine(const LogTime& time, std::uint32_t threadId,
                           const std::wstring& levelName, const std::string& function,
                           const std::wstring& message) {
    wchar_t head[64];
    const int headLength = std::swprintf(
        head, sizeof(head) / sizeof(head[0]), L"%04d/%02d/%02d %02d:%02d:%02d.%03d|%08X|%-11ls|",
        time.year, time.month, time.day, time.hour, time.minute, time.second, time.milliseconds,
        static_cast<unsigned int>(threadId), levelName.c_str());
    std::wstring line;
    if (headLength > 0) {
        line.assign(head, static_cast<std::size_t>(headLength));
    }
    line.reserve(line.size() + function.size() + message.size() + 1);
    for (const char c : function) {
        line += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    line += L'|';
    line += message.c_str();
    return line;
}

bool HasLogLineHead(const wchar_t* text, std::size_t count) {
    if (text == nullptr || count < kLogLineHeadLength) {
        return false;
    }
    return text[4] == L'/' && text[7] == L'/' && text[10] == L' ' && text[13] == L':' &&
           text[16] == L':' && text[19] == L'.' && text[23] == L'|';
}

}  // namespace Shared
}  // namespace QV
