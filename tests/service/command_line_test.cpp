#include "service/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
    const wchar_t* commandLine;
    std::vector<OptionPair> expected;
};

TEST(CommandLineTest, SplitsIntoOptionsAtDashAndSlashOnly) {
    const SplitCase cases[] = {
        {L"", {}},
        {L"-run", {{L"-run", L""}}},
        {L"/Install extra words", {{L"/Install", L"extra words"}}},
        {L"run", {{L"", L"run"}}},
        {L"-", {{L"-", L""}}},
        {L"   ", {{L"", L"   "}}},
        {L"-run x/y", {{L"-run", L"x"}, {L"/y", L""}}},
        {L"-debug -install", {{L"-debug", L""}, {L"-install", L""}}},
        {L"lead -a  b  c", {{L"", L"lead "}, {L"-a", L" b  c"}}},
        {L"-a--b", {{L"-a--b", L""}}},
        {L"\"-q x\"", {{L"", L"\""}, {L"-q", L"x\""}}},
        {L"-x -", {{L"-x", L""}, {L"-", L""}}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(ParseCommandLine(c.commandLine), c.expected) << "command line: " << c.commandLine;
    }
}

TEST(CommandLineTest, LowerCasesAsciiLettersOneByOne) {
    EXPECT_EQ(ToLowerCopy(L"RUN"), L"run");
    EXPECT_EQ(ToLowerCopy(L"InStAlL-/09_Z"), L"install-/09_z");
    EXPECT_EQ(ToLowerCopy(L""), L"");
}

// Runs DispatchOptions with a table whose handlers record their calls.
struct Dispatch {
    std::vector<std::wstring> calls;
    CommandTable table;
    Dispatch() {
        const wchar_t* keys[] = {L"install", L"uninstall", L"run", L"debug"};
        for (size_t i = 0; i < table.size(); ++i) {
            const std::wstring key = keys[i];
            table[i].key = key;
            table[i].handler = [this, key, i] {
                calls.push_back(key);
                return static_cast<std::uint32_t>(0x100 + i);
            };
        }
    }
    std::uint32_t Run(const wchar_t* commandLine) {
        return DispatchOptions(ParseCommandLine(commandLine), table);
    }
};

TEST(CommandLineTest, DispatchesEveryMatchingOptionInOrderAndKeepsTheLastResult) {
    struct Case {
        const wchar_t* commandLine;
        std::vector<std::wstring> calls;
        std::uint32_t result;
    } const cases[] = {
        {L"-RUN", {L"run"}, 0x102},
        {L"/run", {L"run"}, 0x102},
        {L"-Run", {L"run"}, 0x102},
        {L"run", {}, 0},
        {L"-", {}, 0},
        {L"   ", {}, 0},
        {L"-debug -install", {L"debug", L"install"}, 0x100},
        {L"-install -bogus", {L"install"}, 0x100},
        {L"-run x/y", {L"run"}, 0x102},
        {L"-runner", {}, 0},
        {L"-ru", {}, 0},
        {L"/UnInstall now", {L"uninstall"}, 0x101},
    };
    for (const Case& c : cases) {
        Dispatch dispatch;
        EXPECT_EQ(dispatch.Run(c.commandLine), c.result) << c.commandLine;
        EXPECT_EQ(dispatch.calls, c.calls) << c.commandLine;
    }
}

}  // namespace
