// Starting the flashing tool in the user's session: the fake tool really starts, in the session
// the fake session functions present (Wine reports none).
#include "capsule/kel_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "capsule/firmware_staging.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "support/test_support.h"

namespace {

TEST(KelLaunchTest, ExitCodeStopOrFailedStartDecidesTheResult) {
    const std::wstring tools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER),
                       tool = L"QvKelFlash64.exe", call = std::to_wstring(MSG_CALL_FAILED) + L"|",
                       create = call + L"CreateProcessAsUser|",
                       started = L"LaunchWithUi - CreateProcessAsUser succeeded",
                       failed = L"LaunchWithUi - CreateProcessAsUser FAILED with error: ";
    const struct {
        std::wstring folder, tool;
        std::string order;  // the tool's exit code; "sleep": until stopped; "-": no user token
        std::vector<std::wstring> outcome;  // events ("id|strings"), then lines logged, in order
    } cases[] = {
        // clang-format off
        {tools, tool, "0", {L"Entered RunKel() methos" + tools, L"Entered RUNKEL - ConfirmCapsule - ",
         started, L"RunKel - retval - 1", L"RunKel - retval -  1"}},  // without a stop event
        {tools, tool, "3010", {std::to_wstring(MSG_REBOOT_REQUIRED), started}},
        {tools, tool, "4294967295", {call + L"KEL|-1", started, L"RunKel - retval -  0"}},
        {tools, tool, "sleep", {call + L"RunKel|KEL cancelled while running.", started,
         L"KEL cancelled while running"}},
        {tools, L"NoSuchTool.exe", "0", {create + L"2", failed + L"2",
         L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find the file specified"}},
        {tools, L"NoSuchFolder\\" + tool, "0", {create + L"3",
         L"LaunchWithUi - ERROR_PATH_NOT_FOUND: The system cannot find the path specified"}},
        // A tool path of 255 characters: its command line does not fit.
        {L"C:\\" + std::wstring(235, L'x'), tool, "0",
         {create + L"206", L"LaunchWithUi - Unknown error code: 206"}},
        {tools, tool, "-", {call + L"GetSessionUserToken|1008",
         L"bool Kel::LaunchWithUi - GetSessionUserToken error with Error code: 1008"}},
    };  // clang-format on
    // Not the service's own environment (what the user's may bring is the end-to-end test's).
    ::SetEnvironmentVariableW(L"NYX_FAKE_FLASH_MARKER", L"the test's own");
    const std::wstring temp = firmwareStagingFolder + L"\\Temp", stale = temp + L"\\stale.dll";
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.tool) + " " + c.order);
        test::FakeSessions sessions("aU", c.order == "-");
        test::CapturingEventReporter events;
        test::SetToolOrder(c.order);
        ::DeleteFileW(ServiceLogPath().c_str());
        win::UniqueHandle process, stop(&c == cases ? nullptr : ::CreateEventW(nullptr, 1, 0, 0));
        const bool ran = std::count(c.outcome.begin(), c.outcome.end(), started) == 1;
        bool rebootRequired = c.order != "3010";

        ::CreateDirectoryW(temp.c_str(), nullptr);
        ::CloseHandle(::CreateFileW(stale.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0));
        auto run = std::async(std::launch::async, [&] {
            const bool result =
                RunKel(c.folder, c.tool, L"C:\\ABC.bin", stop.Get(), rebootRequired);
            return std::make_pair(result, ::GetLastError());
        });
        if (c.order == "sleep") {  // stopped once it runs
            const std::string pid = test::WaitForToolRecord(30000)["pid"];
            process.Reset(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, std::stoul("0" + pid)));
            ::SetEvent(stop.Get());
            EXPECT_EQ(::WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
        }
        const auto [result, error] = run.get();
        EXPECT_EQ(result, ran && (c.order == "0" || c.order == "3010"));
        if (!result) {  // the cause stays the last error: the first event's number, or 1223
            const std::wstring number = c.outcome[0].substr(c.outcome[0].rfind(L'|') + 1);
            EXPECT_EQ(error,
                      c.order == "sleep" ? DWORD{ERROR_CANCELLED} : DWORD(std::stol(number)));
        }
        EXPECT_EQ(rebootRequired, c.order == "3010");
        ::TerminateProcess(process.Get(), 1);  // a tool left running would outlive the test
        std::vector<std::wstring> outcome;
        for (const test::RecordedEvent& event : events.Events()) {
            outcome.push_back(std::to_wstring(event.id));
            for (const std::wstring& text : event.strings) {
                outcome.back() += L"|" + text;
            }
        }
        const auto logged = test::ReadServiceLogMessages(ServiceLogPath(), &c.outcome);
        outcome.insert(outcome.end(), logged.begin(), logged.end());
        EXPECT_EQ(outcome, c.outcome);
        // The tool ran with its switches, a console of its own and the machine's environment.
        auto seen = test::ReadToolRecord();
        EXPECT_EQ(seen["command_line"] + "|" + seen["console_processes"] + seen["marker"],
                  ran ? test::Utf8(c.folder + L"\\" + c.tool + L" -s -b|1") : "|");
        EXPECT_EQ(seen["TEMP"] + "|" + seen["TMP"], ran ? test::Utf8(temp + L"|" + temp) : "|");
        EXPECT_NE(seen["Path"].empty(), ran);
        EXPECT_EQ(test::FileExists(stale), c.order == "-");  // emptied once there is a user
    }
}

TEST(KelLaunchTest, LinkedTokenIsAnotherToken) {
    win::UniqueHandle own;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.Put()));
    const win::UniqueHandle linked = GetLinkedToken(own.Get());
    EXPECT_TRUE(linked && linked.Get() != own.Get());
}

}  // namespace
