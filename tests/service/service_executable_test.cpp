// Runs the built QvNyxService.exe: as a console program with each option, and installed as a
// real service under the service control manager of the test prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "records/messages.h"
#include "records/service_log.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_executable;  // the service executable under test, as a Windows path

struct RunResult {
    DWORD exitCode = 0;
    std::string output;
};

// Starts the executable with |arguments| and standard output redirected to a file.
RunResult RunExecutable(const std::wstring& arguments) {
    test::TempFolder folder;
    const std::wstring outputPath = folder / L"stdout.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    win::UniqueFileHandle output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               &inherit, CREATE_ALWAYS, 0, nullptr));
    EXPECT_TRUE(output.IsValid());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
    std::wstring commandLine = L"\"" + g_executable + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    PROCESS_INFORMATION process{};
    RunResult result;
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return result;
    }
    win::UniqueHandle processHandle(process.hProcess);
    win::UniqueHandle threadHandle(process.hThread);
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(process.hProcess, &result.exitCode);
    output.Reset();
    result.output = test::ReadFileBytes(outputPath);
    return result;
}

const char kInstallText[] =
    "\r\n*** Manual installation is not supported by this service.\r\n"
    "*** Use Device Manager to install the driver instead.\r\n";
const char kUninstallText[] =
    "\r\n*** Service cannot be manually un-installed.\r\n"
    "*** Use Device Manager to uninstall the driver instead.\r\n";
const char kDebugText[] =
    "\r\n*** Debugging is not supported by this service.\r\n"
    "*** Use Device Manager to install the driver instead.\r\n";

// The runtime writes standard output in text mode, where every "\n" becomes "\r\n".
std::string AsTextModeOutput(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

TEST(ServiceExecutableTest, ConsoleOptionsPrintTheirTextAndLogNothing) {
    const DWORD kNotImplemented = 0x80004001;
    struct Case {
        const wchar_t* arguments;
        std::string output;
        DWORD exitCode;
    } const cases[] = {
        {L"-install", kInstallText, kNotImplemented},
        {L"/UNINSTALL", kUninstallText, kNotImplemented},
        {L"-Debug", kDebugText, kNotImplemented},
        {L"-debug -install", std::string(kDebugText) + kInstallText, kNotImplemented},
        {L"-install -bogus", kInstallText, kNotImplemented},
        {L"run", "", 0},
        {L"-", "", 0},
        {L"-bogus value", "", 0},
    };
    for (const Case& c : cases) {
        ::DeleteFileW(ServiceLogPath);
        const RunResult result = RunExecutable(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
        EXPECT_EQ(result.output, AsTextModeOutput(c.output)) << c.arguments;
        EXPECT_FALSE(test::FileExists(ServiceLogPath)) << c.arguments;
    }
}

// Started by hand, the dispatcher cannot connect to the service control manager (Wine takes
// about ten seconds to give up, so only two spellings are run here).
TEST(ServiceExecutableTest, RunOutsideTheServiceControlManagerLogsTheDispatcherFailure) {
    for (const wchar_t* arguments : {L"", L"-Run x/y"}) {
        ::DeleteFileW(ServiceLogPath);
        const RunResult result = RunExecutable(arguments);
        EXPECT_EQ(result.exitCode, DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT}) << arguments;
        std::vector<std::wstring> expected;
        if (*arguments == L'\0') {
            expected.push_back(L"int APIENTRY wWinMain entered");
        }
        expected.push_back(
            L"int Nyx::runService - StartServiceCtrlDispatcher failed GetLastError() = 1063");
        EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath), expected) << arguments;
    }
    ::DeleteFileW(ServiceLogPath);
}

TEST(ServiceExecutableTest, MessageTableHoldsEveryTextExactly) {
    win::UniqueModule module(
        ::LoadLibraryExW(g_executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module.IsValid()) << ::GetLastError();
    struct Message {
        DWORD id;
        DWORD symbol;
        const wchar_t* text;
    } const table[] = {
        {0x40010002, MSG_SERVICE_STARTING, L"Service is starting."},
        {0x40010003, MSG_SERVICE_TERMINATING, L"Service is terminating."},
        {0x40010005, MSG_UPGRADING_FIRMWARE, L"Upgrading Firmware with %1."},
        {0x40010006, MSG_UPGRADE_SUCCEEDED, L"Upgrade Firmware with %1 successful."},
        {0x40010009, MSG_REBOOT_REQUIRED, L"Firmware upgrade requires reboot."},
        {0x4001000A, MSG_DOWNLOAD_SUCCEEDED, L"Download Firmware with %1 successful."},
        {0x4001000C, MSG_TEXT, L"%1"},
        {0xC0010001, MSG_INVALID_COMMAND, L"The command is not valid."},
        {0xC0010004, MSG_CALL_FAILED, L"%1 failed, result=%2"},
        {0xC0010006, MSG_UPGRADE_FAILED, L"Upgrade Firmware with %1 failed."},
        {0xC0010007, MSG_CAPSULE_UNVERIFIED, L"Unable to verify capsule files."},
        {0xC0010008, MSG_CAPSULE_INVALID, L"Capsule file (%1) is invalid, result=%2."},
        {0xC001000B, MSG_BIOS_INFO_UNREADABLE, L"Unable to read BIOS Info."},
    };
    for (const Message& message : table) {
        EXPECT_EQ(message.symbol, message.id);
        wchar_t buffer[512] = {};
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module.Get(), message.id,
            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, 512, nullptr);
        EXPECT_EQ(std::wstring(buffer, length), std::wstring(message.text) + L"\r\n")
            << std::hex << message.id;
    }
    // IDs between the blocks are not in the table.
    for (DWORD missing : {0x40010001u, 0x40010004u, 0x40010007u, 0xC0010002u, 0xC001000Cu}) {
        wchar_t buffer[64];
        EXPECT_EQ(::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   module.Get(), missing, 0, buffer, 64, nullptr),
                  0u)
            << std::hex << missing;
    }
}

TEST(ServiceExecutableTest, VersionResourceNamesTheProduct) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(g_executable.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(g_executable.c_str(), 0, size, data.data()));
    auto query = [&data](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!::VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value),
                              &length) ||
            value == nullptr) {
            return std::wstring(L"<missing>");
        }
        return std::wstring(value);
    };
    EXPECT_EQ(query(L"ProductName"), L"QV NYX Service");
    EXPECT_EQ(query(L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(query(L"ProductVersion"), L"1.0.0.0");
    EXPECT_NE(query(L"FileDescription"), L"<missing>");
}

// The executable installed and run as the service QvNyxService by the service control
// manager. This test process stays alive throughout, which keeps Wine's service processes
// running.
class InstalledServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.Open()) << ::GetLastError();
        ASSERT_TRUE(service_.Install(g_executable)) << ::GetLastError();
        ::DeleteFileW(ServiceLogPath);
    }

    static bool WaitForLogLine(const std::wstring& line) {
        return test::WaitUntil([&line] {
            const auto messages = test::ReadServiceLogMessages(ServiceLogPath);
            return std::find(messages.begin(), messages.end(), line) != messages.end();
        });
    }

    test::InstalledService service_;
};

TEST_F(InstalledServiceTest, StartsRunsAnswersControlsAndStops) {
    ASSERT_TRUE(::StartServiceW(service_.Get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING));
    const SERVICE_STATUS_PROCESS running = service_.QueryStatus();
    EXPECT_EQ(running.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(running.dwControlsAccepted, 0x85u);  // stop, shutdown, session change
    EXPECT_EQ(running.dwWin32ExitCode, 0u);
    // The loop has started its first wait (a minute) before the controls are sent.
    ASSERT_TRUE(WaitForLogLine(L"start looking for capsule - Wait for 1 minute - "));

    // Wine's ControlService answers TRUE whatever the handler returns: the handler's own log
    // line shows that it was reached.
    SERVICE_STATUS status;
    ::ControlService(service_.Get(), SERVICE_CONTROL_INTERROGATE, &status);
    EXPECT_TRUE(WaitForLogLine(L"DWORD WINAPI Nyx::ServiceHandler : control = 4"));
    EXPECT_EQ(service_.QueryStatus().dwCurrentState, DWORD{SERVICE_RUNNING});

    ASSERT_TRUE(::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status))
        << ::GetLastError();
    ASSERT_TRUE(service_.WaitForState(SERVICE_STOPPED));
    EXPECT_EQ(service_.QueryStatus().dwWin32ExitCode, 0u);

    // A stop during the first minute ends the loop before it looks at any folder.
    std::vector<std::wstring> expected = test::ServiceStartLines(2);
    expected.insert(expected.end(), {L"DWORD WINAPI Nyx::ServiceHandler : control = 4",
                                     L"DWORD WINAPI Nyx::ServiceHandler : control = 1",
                                     L"ServiceLoop : Service is terminating"});
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath), expected);
}

}  // namespace

int main(int argc, char** argv) {
    if (!test::InitWithHostPaths(argc, argv, "<path of QvNyxService.exe on the host>",
                                 {&g_executable})) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
