// The dispatch of the options is tested through the executable (service_test).
#include "service/command_line.h"
#include <gtest/gtest.h>

TEST(CommandLineTest, SplitsIntoOptionsAtDashAndSlashOnly) {
    // clang-format off
    const std::pair<const wchar_t*, std::vector<OptionPair>> cases[] = {
        {L"", {}}, {L"   ", {{L"", L"   "}}}, {L"-a--b", {{L"-a--b", L""}}},
        {L"-run x/y", {{L"-run", L"x"}, {L"/y", L""}}}, {L"-x -", {{L"-x", L""}, {L"-", L""}}},
        {L"lead /Install  b  c", {{L"", L"lead "}, {L"/Install", L" b  c"}}},
        {L"\"-q x\"", {{L"", L"\""}, {L"-q", L"x\""}}}};  // quotes are ordinary characters
    // clang-format on
    for (const auto& [commandLine, expected] : cases) {
        EXPECT_EQ(ParseCommandLine(commandLine), expected) << commandLine;
    }
    EXPECT_EQ(ToLowerCopy(L"InStAlL-/09_Z"), L"install-/09_z");
}
