// Starting the flashing tool in the user's session: the fake tool really starts, in the session
// the fake session functions present (Wine reports none).
#include "capsule/kel_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "capsule/kel.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "support/test_support.h"

namespace {

const std::wstring kTools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER);
const std::wstring kTool = L"QvKelFlash64.exe",
                   kStarted = L"LaunchWithUi - CreateProcessAsUser succeeded";

// The events a RunKel call in |folder| reported ("!id|strings"), then what it logged between its
// own lines, which are checked here.
std::vector<std::wstring> Outcome(const std::wstring& folder, bool result,
                                  const test::CapturingEventReporter& events) {
    std::vector<std::wstring> outcome, log = test::ReadServiceLogMessages(ServiceLogPath);
    for (const test::RecordedEvent& event : events.Events()) {
        outcome.push_back(L"!" + std::to_wstring(event.id));
        for (const std::wstring& text : event.strings) {
            outcome.back() += L"|" + text;
        }
    }
    log.resize(std::max<size_t>(log.size(), 4));
    const std::wstring retval = std::to_wstring(result);
    EXPECT_EQ((std::vector<std::wstring>{log[0], log[1], log[log.size() - 2], log.back()}),
              (std::vector<std::wstring>{
                  L"Entered RunKel() methos" + folder, L"Entered RUNKEL - ConfirmCapsule - ",
                  L"RunKel - retval - " + retval, L"RunKel - retval -  " + retval}));
    outcome.insert(outcome.end(), log.begin() + 2, log.end() - 2);
    return outcome;
}

std::wstring Failed(const std::wstring& call, const std::wstring& result) {
    return L"!" + std::to_wstring(MSG_CALL_FAILED) + L"|" + call + L"|" + result;
}

TEST(KelLaunchTest, ExitCodeOrFailedStartDecidesTheResult) {
    const std::wstring failed = L"LaunchWithUi - CreateProcessAsUser FAILED with error: ";
    const std::wstring create = L"CreateProcessAsUser";
    const struct {
        std::wstring folder, tool;
        const char* order;  // the tool's exit code
        bool tokenFails;
        std::vector<std::wstring> outcome;
    } cases[] = {
        // clang-format off
        {kTools, kTool, "0", false, {kStarted}},  // without a stop event
        {kTools, kTool, "3010", false, {L"!" + std::to_wstring(MSG_REBOOT_REQUIRED), kStarted}},
        {kTools, kTool, "4294967295", false, {Failed(L"KEL", L"-1"), kStarted}},
        {kTools, L"NoSuchTool.exe", "0", false, {Failed(create, L"2"), failed + L"2",
         L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find the file specified"}},
        {kTools, L"NoSuchFolder\\" + kTool, "0", false, {Failed(create, L"3"), failed + L"3",
         L"LaunchWithUi - ERROR_PATH_NOT_FOUND: The system cannot find the path specified"}},
        // A tool path of 255 characters: its command line does not fit.
        {L"C:\\" + std::wstring(235, L'x'), kTool, "0", false,
         {Failed(create, L"206"), failed + L"206", L"LaunchWithUi - Unknown error code: 206"}},
        {kTools, kTool, "0", true, {Failed(L"GetSessionUserToken", L"1008"),
         L"bool Kel::LaunchWithUi - GetSessionUserToken error with Error code: 1008"}},
    };  // clang-format on
    ::SetEnvironmentVariableW(L"NYX_FAKE_FLASH_MARKER", L"the test's own");
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.folder + L"\\" + c.tool) + " " + c.order);
        test::FakeSessions sessions("aU", c.tokenFails);
        test::CapturingEventReporter events;
        test::SetToolOrder(c.order);
        ::DeleteFileW(ServiceLogPath);
        win::UniqueHandle stop(&c == cases ? nullptr
                                           : ::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const bool started = std::count(c.outcome.begin(), c.outcome.end(), kStarted) == 1,
                   reboot = c.order == std::string("3010");
        const bool result = started && (reboot || c.order == std::string("0"));
        bool rebootRequired = !reboot;

        EXPECT_EQ(RunKel(c.folder, c.tool, L"C:\\ABC.bin", stop.Get(), rebootRequired), result);
        EXPECT_EQ(rebootRequired, reboot);
        EXPECT_EQ(Outcome(c.folder, result, events), c.outcome);
        // The tool ran with its switches, in its folder, on the session's desktop, with a console
        // of its own and the user's environment rather than the service's.
        std::map<std::string, std::string> seen = test::ReadToolRecord();
        EXPECT_EQ(seen["command_line"] + "|" + seen["working_folder"] + "|" + seen["desktop"] +
                      "|" + seen["console_processes"] + "|" + seen["marker"],
                  started ? test::Utf8(c.folder + L"\\" + c.tool + L" -s -b|" + c.folder +
                                       L"|winsta0\\default|1|")
                          : "||||");
    }
}

TEST(KelLaunchTest, StopEventTerminatesTheRunningTool) {
    test::FakeSessions sessions("aU");
    test::CapturingEventReporter events;
    test::SetToolOrder("sleep");
    ::DeleteFileW(ServiceLogPath);
    win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), tool;
    std::thread stopper([&] {
        const std::string pid = test::WaitForToolRecord(30000)["pid"];
        tool.Reset(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, std::stoul("0" + pid)));
        ::SetEvent(stop.Get());
    });
    bool rebootRequired = true;
    EXPECT_FALSE(RunKel(kTools, kTool, L"C:\\ABC.bin", stop.Get(), rebootRequired));
    stopper.join();
    EXPECT_FALSE(rebootRequired);
    DWORD exitCode = 0;
    EXPECT_EQ(::WaitForSingleObject(tool.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(tool.Get(), &exitCode) && exitCode == 0xFFFFFFFF);
    ::TerminateProcess(tool.Get(), 1);  // a tool left running would outlive the test
    EXPECT_EQ(Outcome(kTools, false, events),
              (std::vector<std::wstring>{Failed(L"RunKel", L"KEL cancelled while running."),
                                         kStarted, L"KEL cancelled while running"}));
}

TEST(KelLaunchTest, LinkedTokenIsAnotherTokenOrNone) {
    EXPECT_FALSE(GetLinkedToken(nullptr));
    win::UniqueHandle own;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.Put()));
    const win::UniqueHandle linked = GetLinkedToken(own.Get());
    EXPECT_TRUE(linked && linked.Get() != own.Get());
}

}  // namespace
