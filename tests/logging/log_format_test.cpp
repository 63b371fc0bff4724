// The portable parts of the logging framework: listener types, the line, the log mutex name.
#include <gtest/gtest.h>
#include "logging/log_file_names.h"
#include "logging/log_format.h"

using namespace QV::Shared;
namespace {
TEST(LogFormatTest, LoggingTypeReadsSixtyThreeCharactersAndDefaultsKeepKnownFlags) {
    const std::wstring late = std::wstring(59, L'.') + L"Event";
    EXPECT_EQ(SelectLogTypes(LogTypeFile | 0x100u, late.c_str()), LogTypeFile);
    EXPECT_EQ(SelectLogTypes(LogTypeFile, late.substr(1).c_str()), LogTypeEvent);
}
TEST(LogFormatTest, LineHasAFixedHeadThenFunctionAndMessage) {
    EXPECT_EQ(FormatLogLine({2024, 5, 1, 13, 45, 12, 345}, 0x1A2C, L"Information", "A::B", L"x"),
              L"2024/05/01 13:45:12.345|00001A2C|Information|A::B|x");
    // Zero padding, the level padded to 11, texts as data, the message cut at its first null.
    const std::wstring line = FormatLogLine({999, 1, 2, 3, 4, 5, 6}, 0xFFFFFFFF, L"Diag", "",
                                            std::wstring(L"50% %ls\0hidden", 14));
    EXPECT_EQ(line, L"0999/01/02 03:04:05.006|FFFFFFFF|Diag       ||50% %ls");
    EXPECT_TRUE(HasLogLineHead(line.c_str(), kLogLineHeadLength));
    EXPECT_FALSE(HasLogLineHead(line.c_str(), kLogLineHeadLength - 1));
    EXPECT_FALSE(HasLogLineHead(nullptr, 30));
    for (const size_t at : {4, 7, 10, 13, 16, 19, 23})  // each separator broken in turn
        EXPECT_FALSE(HasLogLineHead(std::wstring(line).replace(at, 1, L"0").c_str(), line.size()));
}
TEST(LogFileNamesTest, MutexNameDropsTheDriveAndTurnsBackslashesIntoDots) {
    EXPECT_EQ(LogMutexName(L"C:\\Data\\a:b\\App.log"), L"Global\\.Data.a:b.App.log");
    EXPECT_EQ(LogMutexName(L":odd\\App.log"), L"Global\\:odd.App.log");
}
}  // namespace
