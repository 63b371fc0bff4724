// Starting the flashing tool in the user's session: the fake tool is started for real, with the
// sessions presented through the session-function seam (Wine reports no logged-on session).
#include "capsule/kel_launch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "capsule/kel.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_toolFolder;  // where the fake tool is built, as a Windows path

const wchar_t kCapsule[] = L"C:\\Windows\\Firmware\\ABC_010203.bin";

std::vector<std::wstring> RunKelLines(const std::wstring& folder,
                                      const std::vector<std::wstring>& launchLines, int result) {
    std::vector<std::wstring> lines = {L"Entered RunKel() methos" + folder,
                                       L"Entered RUNKEL - ConfirmCapsule - "};
    lines.insert(lines.end(), launchLines.begin(), launchLines.end());
    lines.push_back(L"RunKel - retval - " + std::to_wstring(result));
    lines.push_back(L"RunKel - retval -  " + std::to_wstring(result));
    return lines;
}

class KelLaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileW(ServiceLogPath);
        test::SetToolOrder("0");
    }
    void TearDown() override { ::DeleteFileW(ServiceLogPath); }

    std::vector<std::wstring> Log() const { return test::ReadServiceLogMessages(ServiceLogPath); }

    test::CapturingEventReporter events_;
    test::FakeSessions sessions_{
        {{0, WTSDisconnected, WTS_SESSIONSTATE_UNKNOWN}, {1, WTSActive, WTS_SESSIONSTATE_UNLOCK}}};
};

TEST_F(KelLaunchTest, ExitCodeDecidesResultRebootFlagAndEvents) {
    struct Case {
        const char* order;
        bool result;
        bool rebootRequired;
        std::vector<test::RecordedEvent> events;
    } const cases[] = {
        {"0", true, false, {}},
        {"3010", true, true, {{EVENTLOG_INFORMATION_TYPE, MSG_REBOOT_REQUIRED, {}}}},
        {"1", false, false, {{EVENTLOG_ERROR_TYPE, MSG_CALL_FAILED, {L"KEL", L"1"}}}},
        {"3011", false, false, {{EVENTLOG_ERROR_TYPE, MSG_CALL_FAILED, {L"KEL", L"3011"}}}},
        {"4294967295", false, false, {{EVENTLOG_ERROR_TYPE, MSG_CALL_FAILED, {L"KEL", L"-1"}}}},
    };
    const std::wstring toolPath = g_toolFolder + L"\\QvKelFlash64.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order);
        ::DeleteFileW(ServiceLogPath);
        events_.Clear();
        test::SetToolOrder(c.order);
        win::UniqueHandle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        bool rebootRequired = true;  // RunKel clears it first

        EXPECT_EQ(
            RunKel(g_toolFolder, L"QvKelFlash64.exe", kCapsule, stopEvent.Get(), rebootRequired),
            c.result);
        EXPECT_EQ(rebootRequired, c.rebootRequired);

        const std::vector<test::RecordedEvent> events = events_.Events();
        ASSERT_EQ(events.size(), c.events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].type, c.events[i].type);
            EXPECT_EQ(events[i].id, c.events[i].id);
            EXPECT_EQ(events[i].strings, c.events[i].strings);
        }
        EXPECT_EQ(Log(),
                  RunKelLines(g_toolFolder, {L"LaunchWithUi - CreateProcessAsUser succeeded"},
                              c.result ? 1 : 0));

        // The tool saw the fixed command line, its folder, the session's desktop, a console of
        // its own and the user's environment rather than the service's.
        const auto record = test::ReadToolRecord();
        EXPECT_EQ(record.at("command_line"), test::Utf8(toolPath + L" -s -b"));
        EXPECT_EQ(record.at("working_folder"), test::Utf8(g_toolFolder));
        EXPECT_EQ(record.at("desktop"), "winsta0\\default");
        EXPECT_EQ(record.at("console_processes"), "1");
        EXPECT_EQ(record.at("marker"), "");
    }
}

TEST_F(KelLaunchTest, FailedStartLogsTheErrorAndItsMeaning) {
    const std::wstring longFolder = L"C:\\" + std::wstring(240, L'x');
    struct Case {
        std::wstring workingFolder;
        std::wstring toolFolder;
        DWORD error;
        std::wstring meaning;
    } const cases[] = {
        {g_toolFolder, g_toolFolder, 2,
         L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find the file specified"},
        {g_toolFolder, L"C:\\NoSuchFolder", 3,
         L"LaunchWithUi - ERROR_PATH_NOT_FOUND: The system cannot find the path specified"},
        // A missing working folder is refused as such.
        {L"C:\\NoSuchFolder", L"C:\\NoSuchFolder", 267, L"LaunchWithUi - Unknown error code: 267"},
        // 240 + 3 + 1 + 17 characters: the tool path alone would need 261 of the 261.
        {longFolder, longFolder, 206, L"LaunchWithUi - Unknown error code: 206"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        ::DeleteFileW(ServiceLogPath);
        events_.Clear();
        const std::wstring toolPath = c.toolFolder + L"\\NoSuchTool.exe";
        DWORD exitCode = 12345;
        bool rebootRequired = false;
        EXPECT_FALSE(Kel::LaunchWithUi(c.workingFolder, toolPath, toolPath + L" -s -b", nullptr,
                                       exitCode, rebootRequired));
        EXPECT_EQ(exitCode, 12345u);

        const auto events = events_.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].id, DWORD{MSG_CALL_FAILED});
        EXPECT_EQ(events[0].strings,
                  (std::vector<std::wstring>{L"CreateProcessAsUser", std::to_wstring(c.error)}));
        EXPECT_EQ(Log(), (std::vector<std::wstring>{
                             L"LaunchWithUi - CreateProcessAsUser FAILED with error: " +
                                 std::to_wstring(c.error),
                             c.meaning}));
        EXPECT_TRUE(test::ReadToolRecord().empty());
    }
}

TEST_F(KelLaunchTest, RunKelWritesItsResultAfterAFailedStart) {
    bool rebootRequired = true;
    EXPECT_FALSE(RunKel(g_toolFolder, L"NoSuchTool.exe", kCapsule, nullptr, rebootRequired));
    EXPECT_FALSE(rebootRequired);
    EXPECT_EQ(Log(), RunKelLines(g_toolFolder,
                                 {L"LaunchWithUi - CreateProcessAsUser FAILED with error: 2",
                                  L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find "
                                  L"the file specified"},
                                 0));
}

TEST_F(KelLaunchTest, CommandLineThatWouldNotFitIsNotStarted) {
    // The tool path fits (260 characters), the command line with its switches does not.
    const std::wstring folder = L"C:\\" + std::wstring(240, L'y');
    const std::wstring tool = L"QvKelFlash64.exe";
    ASSERT_EQ((folder + L"\\" + tool).size(), 260u);
    bool rebootRequired = false;
    EXPECT_FALSE(RunKel(folder, tool, kCapsule, nullptr, rebootRequired));
    EXPECT_EQ(Log(), RunKelLines(folder,
                                 {L"LaunchWithUi - CreateProcessAsUser FAILED with error: 206",
                                  L"LaunchWithUi - Unknown error code: 206"},
                                 0));
}

TEST_F(KelLaunchTest, StopEventTerminatesTheRunningTool) {
    test::SetToolOrder("sleep");
    win::UniqueHandle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    win::UniqueHandle tool;
    std::thread stopper([&] {
        const auto record = test::WaitForToolRecord(30000);
        if (!record.empty()) {
            tool.Reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     std::stoul(record.at("pid"))));
        }
        ::SetEvent(stopEvent.Get());
    });
    bool rebootRequired = true;
    const bool result =
        RunKel(g_toolFolder, L"QvKelFlash64.exe", kCapsule, stopEvent.Get(), rebootRequired);
    stopper.join();

    EXPECT_FALSE(result);
    EXPECT_FALSE(rebootRequired);
    ASSERT_TRUE(tool.IsValid());
    ASSERT_EQ(::WaitForSingleObject(tool.Get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeProcess(tool.Get(), &exitCode));
    EXPECT_EQ(exitCode, 0xFFFFFFFFu);

    const auto events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, DWORD{MSG_CALL_FAILED});
    EXPECT_EQ(events[0].strings,
              (std::vector<std::wstring>{L"RunKel", L"KEL cancelled while running."}));
    EXPECT_EQ(Log(), RunKelLines(g_toolFolder,
                                 {L"LaunchWithUi - CreateProcessAsUser succeeded",
                                  L"KEL cancelled while running"},
                                 0));
}

// Without a stop event only the tool's end finishes the wait: a tool ended from outside is read
// as the tool's own exit code, not as a cancellation.
TEST_F(KelLaunchTest, NullStopEventWaitsForTheToolAlone) {
    test::SetToolOrder("sleep");
    std::thread killer([] {
        const auto record = test::WaitForToolRecord(30000);
        if (!record.empty()) {
            win::UniqueHandle tool(
                ::OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(record.at("pid"))));
            ::TerminateProcess(tool.Get(), 5);
        }
    });
    DWORD exitCode = 0;
    bool rebootRequired = false;
    const std::wstring toolPath = g_toolFolder + L"\\QvKelFlash64.exe";
    const bool result = Kel::LaunchWithUi(g_toolFolder, toolPath, toolPath + L" -s -b", nullptr,
                                          exitCode, rebootRequired);
    killer.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(exitCode, 5u);
    const auto events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{L"KEL", L"5"}));

    test::SetToolOrder("0");
    EXPECT_TRUE(Kel::LaunchWithUi(g_toolFolder, toolPath, toolPath + L" -s -b", nullptr, exitCode,
                                  rebootRequired));
    EXPECT_EQ(exitCode, 0u);
}

TEST(KelLaunchSessionTest, NoUserSessionStartsNothing) {
    struct Case {
        const char* name;
        std::vector<test::FakeSession> sessions;
        bool tokenFails;
    } const cases[] = {
        {"no active session", {{1, WTSDisconnected, 1}, {2, WTSListen, 0}}, false},
        {"no session at all", {}, false},
        {"user token refused", {{1, WTSActive, 1}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::DeleteFileW(ServiceLogPath);
        test::SetToolOrder("0");
        test::CapturingEventReporter events;
        test::FakeSessions sessions(c.sessions);
        sessions.tokenFails = c.tokenFails;
        bool rebootRequired = true;

        EXPECT_FALSE(RunKel(g_toolFolder, L"QvKelFlash64.exe", kCapsule, nullptr, rebootRequired));
        EXPECT_FALSE(rebootRequired);
        EXPECT_TRUE(test::ReadToolRecord().empty());

        const auto recorded = events.Events();
        ASSERT_EQ(recorded.size(), 1u);
        ASSERT_EQ(recorded[0].strings.size(), 2u);
        EXPECT_EQ(recorded[0].strings[0], L"GetSessionUserToken");
        // The error number in the event and the log line is the same reading of the last error.
        const std::wstring error = recorded[0].strings[1];
        if (c.tokenFails) {
            EXPECT_EQ(error, L"1008");
        }
        EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
                  RunKelLines(g_toolFolder,
                              {L"bool Kel::LaunchWithUi - GetSessionUserToken error with Error "
                               L"code: " +
                               error},
                              0));
        EXPECT_EQ(sessions.Outstanding(), 0u);
    }
    ::DeleteFileW(ServiceLogPath);
}

TEST(GetLinkedTokenTest, GivesAnotherTokenOrNone) {
    EXPECT_EQ(GetLinkedToken(INVALID_HANDLE_VALUE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLinkedToken(nullptr), INVALID_HANDLE_VALUE);

    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    win::UniqueHandle own(token);
    const HANDLE linked = GetLinkedToken(own.Get());
    if (linked != INVALID_HANDLE_VALUE) {
        win::UniqueHandle owned(linked);
        EXPECT_NE(linked, own.Get());
        TOKEN_TYPE type{};
        DWORD size = 0;
        EXPECT_TRUE(::GetTokenInformation(linked, TokenType, &type, sizeof(type), &size));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!test::InitWithHostPaths(argc, argv, "<folder of the fake flashing tool on the host>",
                                 {&g_toolFolder})) {
        return 2;
    }
    // A variable of the test's own environment that a tool started with the user's environment
    // must not see.
    ::SetEnvironmentVariableW(L"NYX_FAKE_FLASH_MARKER", L"inherited");
    return RUN_ALL_TESTS();
}
