// The host in this process, and QvNyxService.exe run from the console and as a prefix service.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <future>
#include "engine/nyx.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "service/service_control.h"
#include "support/test_support.h"
#include "win/sdk_compat.h"

// The loop's first wait, here a fault of any type.
DWORD ServiceStartupDelayMs() {
    throw 1064;
}
namespace {
using Lines = std::vector<std::wstring>;
std::wstring g_executable;
bool IsSet(HANDLE event) {
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// Outside a service process ServiceMain logs the failed handler registration and returns; its
// events stay for late controls, and a later start resets them. A fault in the loop
// (ServiceStartupDelayMs throws) stops the host at once with 1064, for recovery to restart it.
TEST(ServiceControlTest, HandlerAnswersThroughTheEventsTheMainFunctionLeavesAndLoopFaultEndsHost) {
    Nyx::m_serviceStopEvent = Nyx::m_logonEvent = nullptr;
    constexpr DWORD kNo = ERROR_CALL_NOT_IMPLEMENTED;
    struct Case {
        const char* label;
        DWORD control, eventType, answer;
        bool stopSet, logonSet;  // the events after the answer
    };
    const Case cases[] = {
        {"stop", SERVICE_CONTROL_STOP, 0, NO_ERROR, true, false},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, 0, NO_ERROR, true, false},
        {"logon", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, NO_ERROR, false, true},
        {"logoff", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, kNo, false, false},
        {"interrogate", SERVICE_CONTROL_INTERROGATE, WTS_SESSION_LOGON, kNo, false, false},
        {"user-defined control", 128, 0, kNo, false, false}};
    for (int start = 0; start < 2; ++start) {
        ::DeleteFileW(ServiceLogPath().c_str());
        Nyx::ServiceMain(0, nullptr);
        const Lines lines = test::ReadServiceLogMessages(ServiceLogPath());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], L"void WINAPI Nyx::ServiceMain : ServiceMain entered");
        EXPECT_EQ(lines[1].rfind(L"RegisterServiceCtrlHandlerEx failed with Error code: ", 0), 0u);
        HANDLE stop = Nyx::m_serviceStopEvent, logon = Nyx::m_logonEvent;
        ASSERT_TRUE(stop && logon);
        EXPECT_FALSE(IsSet(stop) || IsSet(logon));
        for (const auto& [label, control, eventType, answer, stopSet, logonSet] : cases) {
            SCOPED_TRACE(label);
            ::DeleteFileW(ServiceLogPath().c_str());
            EXPECT_EQ(Nyx::ServiceHandler(control, eventType, nullptr, nullptr), answer);
            EXPECT_EQ(std::make_pair(IsSet(stop), IsSet(logon)), std::make_pair(stopSet, logonSet));
            EXPECT_EQ(
                test::ReadServiceLogMessages(ServiceLogPath()),
                Lines{L"DWORD WINAPI Nyx::ServiceHandler : control = " + std::to_wstring(control)});
            ::ResetEvent(stop);
        }
        Nyx::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        Nyx::ServiceHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr);
    }
    ::ResetEvent(Nyx::m_serviceStopEvent);
    EXPECT_EQ(RunLoopUntilStopped(), DWORD(ERROR_EXCEPTION_IN_SERVICE));
}

// The exit code and standard output of the executable run with |arguments| (through cmd).
std::pair<DWORD, std::string> RunExecutable(const std::wstring& arguments) {
    FILE* pipe = ::_wpopen((L"\"\"" + g_executable + L"\" " + arguments + L"\"").c_str(), L"rb");
    char output[4096];
    const size_t size = std::fread(output, 1, sizeof(output), pipe);
    return {static_cast<DWORD>(::_pclose(pipe)), std::string(output, size)};
}
std::string Refusal(const std::string& what, const std::string& verb) {
    return "\r\r\n*** " + what + ".\r\r\n*** Use Device Manager to " + verb +
           " the driver instead.\r\r\n";
}
// Options, in any letter case: install, uninstall and debug are refused ("\n" written as "\r\n"),
// others ignored; none or run start the dispatcher, which finds no service control manager.
TEST(ServiceExecutableTest, ConsoleRunsRefuseTheOptionsOrFailToReachTheDispatcher) {
    const DWORD kRefused = static_cast<DWORD>(E_NOTIMPL), kNoScm = 1063;
    const std::wstring failed =
        L"int Nyx::runService - StartServiceCtrlDispatcher failed GetLastError() = 1063";
    struct Case {
        const char* label;
        const wchar_t* arguments;
        DWORD code;
        std::string output;
        Lines logged;
    };
    // clang-format off
    const Case cases[] = {
        {"install refused", L"-install", kRefused,
         Refusal("Manual installation is not supported by this service", "install"), {}},
        {"uninstall refused in capitals", L"/UNINSTALL", kRefused,
         Refusal("Service cannot be manually un-installed", "uninstall"), {}},
        {"debug refused before an unknown option", L"-Debug -bogus", kRefused,
         Refusal("Debugging is not supported by this service", "install"), {}},
        {"unknown options ignored", L"-bogus value -runner", 0, "", {}},
        {"run", L"-Run x/y", kNoScm, "", {failed}},
        {"no option", L"", kNoScm, "", {L"int APIENTRY wWinMain entered", failed}}};
    // clang-format on
    // The dispatcher gives up only after about ten seconds under Wine: those runs go together.
    std::vector<std::future<std::pair<DWORD, std::string>>> runs;
    Lines together;
    ::DeleteFileW(ServiceLogPath().c_str());
    for (const auto& [label, arguments, code, output, logged] : cases) {
        SCOPED_TRACE(label);
        if (code == kNoScm) {
            runs.push_back(std::async(std::launch::async, RunExecutable, arguments));
            together.insert(together.end(), logged.begin(), logged.end());
        } else {
            EXPECT_EQ(RunExecutable(arguments), std::make_pair(code, output));
            EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath()), logged);
        }
    }
    for (auto& run : runs)
        EXPECT_EQ(run.get(), std::make_pair(kNoScm, std::string()));
    const Lines logged = test::ReadServiceLogMessages(ServiceLogPath());
    EXPECT_TRUE(
        std::is_permutation(logged.begin(), logged.end(), together.begin(), together.end()));
}

TEST(ServiceExecutableTest, MessageTableTextsTakeInsertsAndEndInCrLf) {
    const win::UniqueModule module(
        ::LoadLibraryExW(g_executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t text[64] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module.Get(),
                     MSG_CALL_FAILED, 0, text, 64, nullptr);
    EXPECT_STREQ(text, L"%1 failed, result=%2\r\n");
}

TEST(ServiceExecutableTest, RunsAsAServiceAndStopsAfterTheLoop) {
    test::InstalledService service;
    ASSERT_TRUE(service.Open() && service.Install(g_executable)) << ::GetLastError();
    ::DeleteFileW(ServiceLogPath().c_str());
    ASSERT_TRUE(::StartServiceW(service.Get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(service.QueryStatus().dwControlsAccepted, 0x85u);  // stop, shutdown, session change
    ASSERT_TRUE(service.Stop());
    EXPECT_EQ(service.QueryStatus().dwWin32ExitCode, 0u);
    // The host's own line once; the loop ended before the process did.
    const Lines lines = test::ReadServiceLogMessages(ServiceLogPath());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"m_context.running status : 0"), 1);
    EXPECT_EQ(lines.back(), L"ServiceLoop : Service is terminating");
}
}  // namespace

int main(int argc, char** argv) {
    return test::InitWithHostPaths(argc, argv, "<QvNyxService.exe>", {&g_executable})
               ? RUN_ALL_TESTS()
               : 2;
}
