#include "shared/log_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace QV {
namespace Shared {
namespace {

TEST(LogFormatTest, LevelNamesAndParsingRoundTrip) {
    struct Case {
        int level;
        const wchar_t* name;
    };
    const Case cases[] = {
        {0, L"TraceIn"}, {1, L"TraceOut"}, {2, L"Verbose"}, {3, L"Information"},
        {4, L"Warning"}, {5, L"Error"},    {6, L"Diag"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(LogLevelName(c.level), c.name) << c.level;
        EXPECT_EQ(ParseLogLevel(c.name), c.level) << c.name;
    }
    for (const int undefined : {-1, 7, 98, 99, 100}) {
        EXPECT_STREQ(LogLevelName(undefined), L"Undefined") << undefined;
    }
}

TEST(LogFormatTest, ParseLogLevelIgnoresCaseAndMapsUnknownToNever) {
    struct Case {
        const wchar_t* text;
        int level;
    };
    const Case cases[] = {
        {L"verbose", 2}, {L"VERBOSE", 2},       {L"wArNiNg", 4}, {L"diag", 6},
        {L"TRACEIN", 0}, {L"traceout", 1},      {L"Never", 99},  {L"never", 99},
        {L"", 99},       {nullptr, 99},         {L"Errors", 99}, {L"Erro", 99},
        {L" Error", 99}, {L"Information ", 99}, {L"5", 99},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseLogLevel(c.text), c.level) << (c.text != nullptr ? c.text : L"<null>");
    }
}

TEST(LogFormatTest, LoggingTypeKeywordsAreSubstringsInAnyCase) {
    struct Case {
        const wchar_t* text;
        unsigned int flags;
    };
    const Case cases[] = {
        {L"file debug", LogTypeFile | LogTypeDebug},
        {L"FILE, DEBUG", LogTypeFile | LogTypeDebug},
        {L"EventFile", LogTypeEvent | LogTypeFile},
        {L"Console", LogTypeConsole},
        {L"event;console;debug;file", kAllLogTypes & ~static_cast<unsigned int>(LogTypeFileQueued)},
        {L"FileQueued", LogTypeFile},  // queued writing is a policy value of its own
        {L"DebugOutput", LogTypeDebug},
        {L"Evnt Fil", 0},
        {L"", 0},
        {nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseLoggingType(c.text), c.flags) << (c.text != nullptr ? c.text : L"<null>");
    }
    // Only the first 63 characters count.
    EXPECT_EQ(ParseLoggingType((std::wstring(58, L'.') + L"Event").c_str()), LogTypeEvent);
    EXPECT_EQ(ParseLoggingType((std::wstring(59, L'.') + L"Event").c_str()), 0u);
}

TEST(LogFormatTest, SelectLogTypesKeepsDefaultsUnlessPolicyNamesAKeyword) {
    struct Case {
        unsigned int defaults;
        const wchar_t* policy;
        unsigned int types;
    };
    const Case cases[] = {
        {LogTypeEvent, nullptr, LogTypeEvent},
        {LogTypeEvent, L"nothing known", LogTypeEvent},
        {LogTypeEvent, L"", LogTypeEvent},
        {LogTypeEvent, L"debug", LogTypeDebug},
        {LogTypeFile | LogTypeFileQueued, nullptr, LogTypeFileQueued},
        {LogTypeFile | LogTypeFileQueued | LogTypeEvent, L"?", LogTypeFileQueued | LogTypeEvent},
        {LogTypeFileQueued, L"file", LogTypeFile},
        {0x100u | LogTypeConsole, nullptr, LogTypeConsole},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SelectLogTypes(c.defaults, c.policy), c.types)
            << c.defaults << " " << (c.policy != nullptr ? c.policy : L"<null>");
    }
}

TEST(LogFormatTest, LineHasFixedHeadThenFunctionAndMessage) {
    const LogTime time{2024, 5, 1, 13, 45, 12, 345};
    EXPECT_EQ(FormatLogLine(time, 0x1A2C, L"Information", "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo",
                            L"Getting SMBIOS information"),
              L"2024/05/01 13:45:12.345|00001A2C|Information|"
              L"QVBiosUpdate::SmbiosInfo::GetSmbiosInfo|Getting SMBIOS information");

    struct Case {
        LogTime time;
        std::uint32_t thread;
        const wchar_t* level;
        std::string function;
        std::wstring message;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        // Zero padding of every field, short level names padded on the right to 11.
        {{999, 1, 2, 3, 4, 5, 6},
         0xABCDEF,
         L"Diag",
         "f",
         L"m",
         L"0999/01/02 03:04:05.006|00ABCDEF|Diag       |f|m"},
        {{2026, 12, 31, 23, 59, 59, 999},
         0xFFFFFFFFu,
         L"Undefined",
         "",
         L"",
         L"2026/12/31 23:59:59.999|FFFFFFFF|Undefined  ||"},
        // Texts are data, not formats; the message ends at its first null character.
        {{2026, 1, 1, 0, 0, 0, 0},
         0,
         L"Error",
         "A::B",
         std::wstring(L"50% %ls|x\0hidden", 16),
         L"2026/01/01 00:00:00.000|00000000|Error      |A::B|50% %ls|x"},
        {{2026, 1, 1, 0, 0, 0, 0},
         7,
         L"Warning",
         "f",
         L"Gr\u00FC\u00DFe \u20AC",
         L"2026/01/01 00:00:00.000|00000007|Warning    |f|Gr\u00FC\u00DFe \u20AC"},
    };
    for (const Case& c : cases) {
        const std::wstring line = FormatLogLine(c.time, c.thread, c.level, c.function, c.message);
        EXPECT_EQ(line, c.line);
        EXPECT_TRUE(HasLogLineHead(line.c_str(), line.size())) << line;
    }
}

TEST(LogFormatTest, LineHeadShapeNeedsEverySeparator) {
    const std::wstring good = L"2024/05/01 13:45:12.345|00001A2C|";
    EXPECT_TRUE(HasLogLineHead(good.c_str(), good.size()));
    EXPECT_TRUE(HasLogLineHead(good.c_str(), kLogLineHeadLength));
    EXPECT_FALSE(HasLogLineHead(good.c_str(), kLogLineHeadLength - 1));
    EXPECT_FALSE(HasLogLineHead(nullptr, 30));
    for (const size_t position : {4, 7, 10, 13, 16, 19, 23}) {
        std::wstring broken = good;
        broken[position] = L'x';
        EXPECT_FALSE(HasLogLineHead(broken.c_str(), broken.size())) << position;
    }
    // Only the separators count, not the digits.
    const std::wstring letters = L"abcd/ef/gh ij:kl:mn.opq|";
    EXPECT_TRUE(HasLogLineHead(letters.c_str(), letters.size()));
}

}  // namespace
}  // namespace Shared
}  // namespace QV
