#include "shared/log_listeners.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "shared/log_test_support.h"
#include "support/test_support.h"

namespace QV {
namespace Shared {
namespace {

TEST(LogListenersTest, EventTypesAndIdsFollowTheLevelAndDiagNeverReachesTheLog) {
    struct Case {
        const wchar_t* policyMin;  // null: the default minimum applies
        int defaultMin;
        std::vector<DWORD> ids;
    };
    const Case cases[] = {
        {L"TraceIn", 5, {0, 1, 2, 3, 4, 5}},
        {nullptr, 3, {3, 4, 5}},
        {L"Warning", 0, {4, 5}},
        {L"Never", 0, {}},
    };
    const WORD expectedTypes[] = {
        EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE,
        EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,     EVENTLOG_ERROR_TYPE,
    };
    for (const Case& c : cases) {
        test::ScopedLogPolicy policy;
        policy.SetString(true, L"MaxLogLevel", L"Never");
        if (c.policyMin != nullptr) {
            policy.SetString(true, L"MinLogLevel", c.policyMin);
        }
        CqvLogListenerEvent listener(c.defaultMin,
                                     ::RegisterEventSourceW(nullptr, L"shared_log_test"));
        EXPECT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeEvent));
        EXPECT_EQ(listener.MaxLevel(), 99);

        test::CapturingEventReporter events;
        std::vector<std::wstring> lines;
        for (const int level : {0, 1, 2, 3, 4, 5, 6, 7, 99}) {
            const CqvLogListener::LogData record(level, "Event::Test", L"message");
            listener.Write(record);
            lines.push_back(record.Format());
        }
        const auto recorded = events.Events();
        ASSERT_EQ(recorded.size(), c.ids.size()) << c.defaultMin;
        for (size_t i = 0; i < recorded.size(); ++i) {
            const DWORD id = c.ids[i];
            EXPECT_EQ(recorded[i].id, id);
            EXPECT_EQ(recorded[i].type, expectedTypes[id]) << id;
            ASSERT_EQ(recorded[i].strings.size(), 1u);
            EXPECT_EQ(recorded[i].strings[0], lines[id]);
        }
    }
}

// Runs |write| with the C runtime's standard output sent to a file; returns what it wrote.
template <typename Write>
std::string CaptureStandardOutput(Write write) {
    test::TempFolder folder;
    const std::wstring path = folder / L"stdout.txt";
    std::fflush(stdout);
    const int saved = _dup(_fileno(stdout));
    const int redirected =
        _wopen(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
    _dup2(redirected, _fileno(stdout));
    write();
    std::fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(redirected);
    _close(saved);
    return test::ReadFileBytes(path);
}

TEST(LogListenersTest, ConsoleWritesFunctionAndMessageOnly) {
    test::ScopedLogPolicy policy;
    CqvLogListenerConsole listener(5);
    EXPECT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeConsole));
    const std::string output = CaptureStandardOutput([&] {
        listener.Write(CqvLogListener::LogData(5, "Console::Test", L"50% %ls done"));
        listener.Write(CqvLogListener::LogData(3, "Second", L""));
    });
    // Standard output is a text stream: its own translation adds a CR before each LF.
    EXPECT_EQ(output, "Console::Test : 50% %ls done\r\r\nSecond : \r\r\n");
}

TEST(LogListenersTest, DebugListenerHasItsType) {
    test::ScopedLogPolicy policy;
    CqvLogListenerDebug listener(2);
    EXPECT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeDebug));
    EXPECT_EQ(listener.MinLevel(), 2);
    EXPECT_EQ(listener.MaxLevel(), 5);
    // The debugger output is not observable here; the call must simply not fail.
    listener.Write(CqvLogListener::LogData(5, "Debug::Test", std::wstring(2000, L'd')));
}

}  // namespace
}  // namespace Shared
}  // namespace QV
