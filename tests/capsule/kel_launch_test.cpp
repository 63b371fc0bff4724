// Starting the flashing tool in the user's session: the fake tool really starts, in the session
// the fake session functions present (Wine reports none).
#include "capsule/kel_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

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
    enum User { kAdministrator, kStandardUser, kNoToken };
    const struct {
        const char* label;
        std::wstring folder, tool;
        std::string order;  // the tool's exit code; "sleep": until stopped
        User user;
        bool ran, result;
        DWORD error;                        // the last error after a failure; 0 after a success
        std::vector<std::wstring> outcome;  // events ("id|strings"), then lines logged, in order
    } cases[] = {
        // clang-format off
        {"flashed, without a stop event", tools, tool, "0", kAdministrator, true, true, 0,
         {L"Entered RunKel() methos" + tools, L"Entered RUNKEL - ConfirmCapsule - ", started,
          L"RunKel - retval - 1", L"RunKel - retval -  1"}},
        {"reboot asked", tools, tool, "3010", kAdministrator, true, true, 0,
         {std::to_wstring(MSG_REBOOT_REQUIRED), started}},
        {"tool failed", tools, tool, "4294967295", kAdministrator, true, false, 0xFFFFFFFF,
         {call + L"KEL|-1", started, L"RunKel - retval -  0"}},
        {"stopped while running", tools, tool, "sleep", kAdministrator, true, false, 1223,
         {call + L"RunKel|KEL cancelled while running.", started, L"KEL cancelled while running"}},
        {"no such tool", tools, L"NoSuchTool.exe", "0", kAdministrator, false, false, 2,
         {create + L"2", failed + L"2",
          L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find the file specified"}},
        {"no such folder", tools, L"NoSuchFolder\\" + tool, "0", kAdministrator, false, false, 3,
         {create + L"3",
          L"LaunchWithUi - ERROR_PATH_NOT_FOUND: The system cannot find the path specified"}},
        {"command line too long", L"C:\\" + std::wstring(235, L'x'), tool, "0", kAdministrator,
         false, false, 206, {create + L"206", L"LaunchWithUi - Unknown error code: 206"}},
        {"no user token", tools, tool, "0", kNoToken, false, false, 1008,
         {call + L"GetSessionUserToken|1008",
          L"bool Kel::LaunchWithUi - GetSessionUserToken error with Error code: 1008"}},
        {"standard user", tools, tool, "0", kStandardUser, false, false, 740,
         {create + L"740", failed + L"740",
          L"LaunchWithUi - ERROR_ELEVATION_REQUIRED: The requested operation requires elevation"}},
    };  // clang-format on
    // Not the service's own environment (what the user's may bring is the end-to-end test's).
    ::SetEnvironmentVariableW(L"NYX_FAKE_FLASH_MARKER", L"the test's own");
    const std::wstring temp = StagingFolderIn(SystemDirectory()) + L"\\Temp",
                       stale = temp + L"\\0\\stale.dll";
    wchar_t system[MAX_PATH];
    const std::wstring path(system, ::GetSystemDirectoryW(system, MAX_PATH));
    win::UniqueHandle own;  // a process token of Wine's is a split one: its linked token is found
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.Put()));
    EXPECT_TRUE(GetLinkedToken(own.Get()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::FakeSessions sessions("aU", c.user == kNoToken, c.user == kStandardUser);
        test::CapturingEventReporter events;
        test::SetToolOrder(c.order);
        ::DeleteFileW(ServiceLogPath().c_str());
        win::UniqueHandle process, stop(&c == cases ? nullptr : ::CreateEventW(nullptr, 1, 0, 0));
        bool rebootRequired = c.order != "3010";
        ::CreateDirectoryW(temp.c_str(), nullptr);
        ::CreateDirectoryW((temp + L"\\0").c_str(), nullptr);
        ::CloseHandle(::CreateFileW(stale.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0));
        LaunchControl control;  // holds the tools' folder until the tool runs or fails
        control.heldUntilStarted.emplace_back(::CreateFileW(tools.c_str(), 0, 7, 0, 3, 1 << 25, 0));
        auto run = std::async(std::launch::async, [&] {
            const bool result =
                RunKel(c.folder, c.tool, L"C:\\ABC.bin", stop.Get(), rebootRequired, &control);
            return std::make_pair(result, ::GetLastError());
        });
        if (c.order == "sleep") {  // stopped once it runs
            const std::string pid = test::WaitForToolRecord(30000)["pid"];
            process.Reset(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, std::stoul("0" + pid)));
            ::SetEvent(stop.Get());
            EXPECT_EQ(::WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
        }
        const auto [result, error] = run.get();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(result ? 0 : error, c.error);
        EXPECT_EQ(rebootRequired, c.order == "3010");
        EXPECT_TRUE(control.heldUntilStarted.empty());
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
        // The tool ran with its switches, a console of its own and the machine's environment,
        // searching only the system's folders, with a TEMP of its own.
        auto seen = test::ReadToolRecord();
        EXPECT_EQ(seen["command_line"] + "|" + seen["console_processes"] + seen["marker"],
                  c.ran ? test::Utf8(c.folder + L"\\" + c.tool + L" -s -b|1") : "|");
        EXPECT_EQ(seen["TEMP"] + "|" + seen["TMP"],
                  c.ran ? test::Utf8(temp + L"\\0|" + temp + L"\\0") : "|");
        EXPECT_EQ(seen["Path"].substr(0, path.size() + 1), c.ran ? test::Utf8(path + L";") : "");
        // An earlier launch's TEMP goes once there is an elevated user.
        EXPECT_EQ(test::FileExists(stale), c.user != kAdministrator);
    }
}

}  // namespace
