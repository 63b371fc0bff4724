// The simulation build run as the service QvNyxService, on a machine played by the settings
// under HKLM\SOFTWARE\QvNyxSimulation, with the fake flashing tool. Staging deletes the log.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "smbios_builders.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_serviceExecutable;  // the simulation build's QvNyxService.exe
std::wstring g_toolFolder;         // the folder of the fake tool's executables

using Lines = std::vector<std::wstring>;
constexpr wchar_t kSimulationKey[] = L"SOFTWARE\\QvNyxSimulation";
constexpr wchar_t kEventFile[] = L"C:\\NyxE2E\\events.txt";
constexpr wchar_t kImageFolder[] = L"C:\\NyxE2E\\Service";
constexpr wchar_t kStagingFolder[] = L"C:\\Windows\\System32\\Firmware";
const Lines kToolFiles = {L"QvKelFlash64.exe", L"QVToastNotificationActivator64.exe",
                          L"QVFirmwareUpdate.jpg"};
constexpr wchar_t kWatchSetUp[] = L"ServiceLoop : monitoring DriverStore FileRepository";
constexpr wchar_t kCheck[] = L"Entered do while loop  - ";
constexpr wchar_t kLeave[] = L"service stop or some error, leave the thread";
constexpr wchar_t kTerminating[] = L"ServiceLoop : Service is terminating";
constexpr wchar_t kStopControl[] = L"DWORD WINAPI Nyx::ServiceHandler : control = 1";

// As the service builds them from the Windows directory, which Wine names C:\windows.
const std::wstring kFirmwareFolder = L"C:\\windows\\Firmware";
const std::wstring kPackageFolder = kFirmwareFolder + L"\\pkg1";
const std::wstring kDriverStore = L"C:\\windows\\System32\\DriverStore\\FileRepository";

template <typename T>
size_t Count(const std::vector<T>& lines, const typename std::vector<T>::value_type& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const T& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    });
}
// Whether lines beginning with |expected| occur in |actual| in this order.
template <typename T>
::testing::AssertionResult InOrder(const std::vector<T>& actual, const std::vector<T>& expected) {
    auto at = actual.begin();
    for (const T& line : expected) {
        at = std::find_if(at, actual.end(), [&](const T& each) { return Count<T>({each}, line); });
        if (at++ == actual.end()) {
            return ::testing::AssertionFailure() << ::testing::PrintToString(line) << " missing";
        }
    }
    return ::testing::AssertionSuccess();
}
Lines Log() {
    return test::ReadServiceLogMessages(ServiceLogPath);
}
std::vector<std::string> Events() {
    return test::SplitLines(test::ReadFileBytes(kEventFile), std::string("\n"));
}
// An event as the simulation build writes it: the type of its severity, the ID, the strings.
std::string Event(DWORD id, std::initializer_list<std::wstring> strings = {}) {
    char text[32];
    std::snprintf(text, sizeof(text), "%s 0x%08lX", id >> 30 == 3 ? "Error" : "Information", id);
    std::string line = text;
    for (const std::wstring& string : strings) {
        line += " |" + test::Utf8(string);
    }
    return line;
}

// The service's two values; 99 and "" when missing.
DWORD Status() {
    return test::MachineDword(test::kServiceKey, L"UpgradeStatus").value_or(99);
}
std::wstring LastBinFile() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, L"LastBinFile", RRF_RT_REG_SZ, nullptr,
                   buffer, &size);
    return buffer;
}
void SetValue(const wchar_t* key, const wchar_t* name, DWORD value) {
    test::SetMachineValue(key, name, REG_DWORD, &value, sizeof(value));
}
// The simulated BIOS "ABC Ver. 01.02.03" with release 01.|minor|.00.
void SetBios(int minor) {
    const smbios_test::Bytes table = smbios_test::Table(
        {smbios_test::BiosInformation("ABC Ver. 01.02.03", static_cast<std::uint8_t>(minor), 0),
         smbios_test::EndOfTable()});
    test::SetMachineValue(kSimulationKey, L"SmbiosData", REG_BINARY, table.data(),
                          static_cast<DWORD>(table.size()));
}
// A file in |folder| (created when missing) that holds its own path; that path.
std::wstring PlaceFile(const std::wstring& folder, const std::wstring& name) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\" + name;
    win::UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD size = static_cast<DWORD>(2 * path.size());
    EXPECT_TRUE(::WriteFile(file.Get(), path.data(), size, &size, nullptr)) << test::Utf8(path);
    return path;
}
// Polls |outcome|; with |nudge|, creates a file in the watched firmware folder before each
// retry: a change the loop answers with a check once its watch is set up again.
bool WaitUntil(const std::function<bool()>& outcome, bool nudge = false) {
    int count = 0;
    const auto change = [&] { return PlaceFile(kFirmwareFolder, std::to_wstring(++count)); };
    return test::WaitUntil([&] { return outcome() || (nudge && change().empty()); }, 30000,
                           nudge ? 300 : 100);
}
// |files| and the tool files of |from| were staged into |to|, and the tool was started there as
// QvKelFlash64.exe -s -b, on the user's desktop, after the service set UpgradeStatus to 1.
void ExpectToolStartedIn(const std::wstring& to, const std::wstring& from, Lines files = {}) {
    files.insert(files.end(), kToolFiles.begin(), kToolFiles.end());
    for (const std::wstring& name : files) {
        EXPECT_EQ(test::ReadFileBytes(to + L"\\" + name), test::ReadFileBytes(from + L"\\" + name))
            << test::Utf8(name);
    }
    auto record = test::ReadToolRecord();
    const std::string tool = test::Utf8(to + L"\\" + kToolFiles[0]);
    EXPECT_EQ(record["command_line"], tool + " -s -b");
    EXPECT_EQ(record["working_folder"], test::Utf8(to));
    EXPECT_EQ(record["desktop"], "winsta0\\default");
    EXPECT_EQ(record["upgrade_status"], "1");
}

class ServiceEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.Open()) << ::GetLastError();
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimulationKey);
        for (const std::wstring& folder :
             Lines{kFirmwareFolder, kStagingFolder, kDriverStore, L"C:\\NyxE2E"}) {
            test::RemoveTree(folder);  // the log goes with the staging folder
            ::CreateDirectoryW(folder.c_str(), nullptr);
        }
        test::SetMachineValue(kSimulationKey, L"EventFile", REG_SZ, kEventFile, sizeof(kEventFile));
        SetValue(kSimulationKey, L"StartupDelayMs", 100);
        SetValue(kSimulationKey, L"ActiveSession", 1);
        SetBios(12);
        test::SetToolOrder("0");
    }
    // Installs the service (a new key) from |folder| with the tool files beside it and
    // UpgradeStatus |status| when given, and starts it.
    void InstallAndStart(const std::wstring& folder, std::optional<DWORD> status = {}) {
        for (const std::wstring& file : {kToolFiles[0], kToolFiles[1]}) {
            ::CopyFileW((g_toolFolder + L"\\" + file).c_str(), PlaceFile(folder, file).c_str(), 0);
        }
        PlaceFile(folder, kToolFiles[2]);
        ::CopyFileW(g_serviceExecutable.c_str(), (folder + L"\\QvNyxService.exe").c_str(), FALSE);
        ASSERT_TRUE(service_.Install(folder + L"\\QvNyxService.exe")) << ::GetLastError();
        if (status) {
            SetValue(test::kServiceKey, L"UpgradeStatus", *status);
        }
        Start();
    }
    void Start() {
        ASSERT_TRUE(::StartServiceW(service_.Get(), 0, nullptr) &&
                    service_.WaitForState(SERVICE_RUNNING));
    }
    test::InstalledService service_;  // removed with the fixture
};

TEST_F(ServiceEndToEndTest, NoSmbiosDataAbortsStartUpAndServiceRunsUntilStopped) {
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSimulationKey, L"SmbiosData");
    test::RemoveTree(kFirmwareFolder);  // start-up creates it
    InstallAndStart(kImageFolder, 3);
    ASSERT_TRUE(WaitUntil([] { return Count(Log(), kTerminating) > 0; }));
    EXPECT_TRUE(test::FileExists(kFirmwareFolder));  // created
    EXPECT_EQ(Status(), DWORD{0});  // cleared at a start but of a handed-over flash
    EXPECT_EQ(service_.QueryState(), DWORD{SERVICE_RUNNING});  // the loop ended, not the service
    ASSERT_TRUE(service_.Stop());
    EXPECT_TRUE(InOrder(Log(), {L"UpgradeStatus Initial read from registry: 3",
                                L"ServiceLoop entered", L"BIOS Info not available",
                                L"ServiceLoop : Startup aborted", kTerminating, kStopControl}));
    EXPECT_TRUE(InOrder(Events(), {Event(MSG_SERVICE_STARTING), Event(MSG_BIOS_INFO_UNREADABLE),
                                   Event(MSG_SERVICE_TERMINATING)}));
}

// Below the Windows firmware folder: an attempt without a user is not recorded, a failed one is
// not retried, a newer capsule is flashed in its folder, and a successful flash ends the checks.
TEST_F(ServiceEndToEndTest, FirmwareFolderCapsuleIsFlashedOnceTheToolRunsAndFailedOneNotRetried) {
    SetValue(kSimulationKey, L"ActiveSession", 0);  // nobody logged on yet
    test::SetToolOrder("1");
    const std::wstring first = PlaceFile(kPackageFolder, L"ABC_01130000.bin");
    InstallAndStart(kImageFolder);
    ASSERT_TRUE(WaitUntil([] {
        return InOrder(Log(), {L"ServiceLoop : flashing tool did not start, attempt not recorded",
                               kWatchSetUp});
    }));
    EXPECT_EQ(Status(), DWORD{0});
    EXPECT_EQ(LastBinFile(), L"");
    SetValue(kSimulationKey, L"ActiveSession", 1);  // the next change runs the tool, which fails
    ASSERT_TRUE(WaitUntil([] { return Status() == 2; }, true));
    ExpectToolStartedIn(kPackageFolder, kImageFolder);
    EXPECT_EQ(LastBinFile(), first);
    test::SetToolOrder("0");
    const Lines notRetried = {
        L"IsUpgradeneeded :  not retrying capsule since last attempt failed "};
    ASSERT_TRUE(WaitUntil([&] { return InOrder(Log(), notRetried); }, true));
    const std::wstring second = PlaceFile(kPackageFolder, L"ABC_01140000.bin");  // a newer one
    const std::string succeeded = Event(MSG_UPGRADE_SUCCEEDED, {second});
    ASSERT_TRUE(WaitUntil([&] { return Count(Events(), succeeded) > 0; }, true));
    ExpectToolStartedIn(kPackageFolder, kImageFolder);
    EXPECT_EQ(Status(), DWORD{3});
    EXPECT_EQ(LastBinFile(), second);
    ASSERT_TRUE(service_.Stop());
    EXPECT_TRUE(InOrder(Log(), {kLeave, kTerminating}));
    EXPECT_EQ(Count(Log(), kWatchSetUp), 0u);                            // none since the flash
    EXPECT_EQ(Count(Events(), Event(MSG_UPGRADE_FAILED, {first})), 2u);  // without and with tool
}

// A package in the driver store without its capsule yet is checked at once; the capsule landing
// later is staged into System32\Firmware and flashed there, and the tool asks for a reboot.
TEST_F(ServiceEndToEndTest, DriverStorePackageIsCheckedAtOnceAndItsCapsuleFlashedWhenItLands) {
    test::SetToolOrder("3010");
    const std::wstring name = L"abc_01130000.inf_amd64_5e1d0c2b3a4f6789";
    const std::wstring package = kDriverStore + L"\\" + name;
    PlaceFile(package, L"ABC_01130000.inf");
    InstallAndStart(package);
    const Lines storeCheck = {kCheck, L"Match found: " + name, L"Searched DIRID13", kCheck};
    ASSERT_TRUE(WaitUntil([&] { return InOrder(Log(), storeCheck); }));
    WIN32_FIND_DATAW entry;  // Wine watches a folder below the tree once it has been opened
    ::FindClose(::FindFirstFileW((package + L"\\*").c_str(), &entry));
    const std::wstring capsule = PlaceFile(package, L"ABC_01130000.bin");
    const std::string handedOver = Event(MSG_DOWNLOAD_SUCCEEDED, {capsule});
    ASSERT_TRUE(WaitUntil([&] { return Count(Events(), handedOver) > 0; }));
    ExpectToolStartedIn(kStagingFolder, package, {L"ABC_01130000.bin", L"ABC_01130000.inf"});
    ASSERT_TRUE(service_.Stop());
    EXPECT_EQ(Status(), DWORD{1});  // judged at the first start after the reboot
    EXPECT_EQ(LastBinFile(), capsule);
    EXPECT_TRUE(InOrder(Log(), {kLeave, kTerminating}));
    EXPECT_TRUE(InOrder(Events(), {Event(MSG_UPGRADING_FIRMWARE, {capsule}),
                                   Event(MSG_REBOOT_REQUIRED), handedOver}));
}

// A stop while the tool runs ends it and fails the attempt. A flash handed over (UpgradeStatus 1)
// is judged by the BIOS's first three groups at a start after a reboot; a restart without a
// reboot or a stop in the first wait keeps it. Never a second attempt.
TEST_F(ServiceEndToEndTest, StopEndsTheToolAndHandedOverFlashIsJudgedAfterAReboot) {
    test::SetToolOrder("sleep");  // a first attempt the stop ends
    const std::wstring capsule = PlaceFile(kPackageFolder, L"ABC_011300.bin");  // 01.13.00.FF
    InstallAndStart(kImageFolder);
    const auto record = test::WaitForToolRecord(30000);
    ASSERT_FALSE(record.empty());
    win::UniqueHandle tool(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(std::stoul(record.at("pid")))));
    ASSERT_TRUE(service_.Stop());
    DWORD exitCode = 0;
    EXPECT_EQ(::WaitForSingleObject(tool.Get(), 30000), DWORD{WAIT_OBJECT_0});
    EXPECT_TRUE(::GetExitCodeProcess(tool.Get(), &exitCode) && exitCode == 0xFFFFFFFFu);
    EXPECT_EQ(Status(), DWORD{2});
    EXPECT_TRUE(InOrder(Log(), {kStopControl, kWatchSetUp, kLeave, kTerminating}));
    EXPECT_TRUE(
        InOrder(Events(), {Event(MSG_CALL_FAILED, {L"RunKel", L"KEL cancelled while running."}),
                           Event(MSG_UPGRADE_FAILED, {capsule}), Event(MSG_SERVICE_TERMINATING)}));
    // Boot in seconds after the key's last write, BIOS 01.|minor|.00, first wait, status after,
    // and the log line between start-up and the check.
    using Case = std::tuple<const char*, int, int, DWORD, DWORD, const wchar_t*>;
    for (const auto& [name, bootSeconds, minor, firstWaitMs, status, verdict] : std::vector<Case>{
             {"new BIOS after reboot", 1, 13, 100, 3, L"ServiceLoop : last upgrade succeeded"},
             {"old BIOS after reboot", 1, 12, 100, 2, L"ServiceLoop : last upgrade failed"},
             {"restart without reboot", -86400, 13, 100, 1, L"ServiceLoop : startup done"},
             {"stop during the first wait", 1, 13, 60000, 1, nullptr},
         }) {
        SCOPED_TRACE(name);
        ::DeleteFileW(kEventFile);
        ::DeleteFileW(ServiceLogPath);
        SetBios(minor);
        SetValue(kSimulationKey, L"StartupDelayMs", firstWaitMs);
        SetValue(test::kServiceKey, L"UpgradeStatus", 1);
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        const std::uint64_t boot = ((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) +
                                   bootSeconds * 10000000LL;
        test::SetMachineValue(kSimulationKey, L"BootTime", REG_QWORD, &boot, sizeof(boot));
        test::SetToolOrder("0");
        Start();
        const wchar_t* awaited = verdict != nullptr ? kWatchSetUp : L"start looking for capsule";
        ASSERT_TRUE(WaitUntil([&] { return Count(Log(), awaited) > 0; }));
        ASSERT_TRUE(service_.Stop());
        EXPECT_TRUE(InOrder(Log(), {L"UpgradeStatus Initial read from registry: 1", awaited,
                                    kStopControl, kTerminating}));
        EXPECT_TRUE(verdict == nullptr || InOrder(Log(), {verdict, kCheck}));
        EXPECT_EQ(Count(Log(), kCheck), verdict != nullptr ? 1u : 0u);
        EXPECT_EQ(Status(), DWORD{status});
        EXPECT_EQ(LastBinFile(), capsule);
        EXPECT_TRUE(test::ReadToolRecord().empty());
        EXPECT_EQ(Count(Events(), Event(MSG_UPGRADE_SUCCEEDED, {capsule})), status == 3 ? 1u : 0u);
        EXPECT_EQ(Count(Events(), Event(MSG_UPGRADE_FAILED, {capsule})), status == 2 ? 1u : 0u);
    }
}

}  // namespace

int main(int argc, char** argv) {
    return test::InitWithHostPaths(argc, argv, "<QvNyxService.exe> <fake tool folder>",
                                   {&g_serviceExecutable, &g_toolFolder})
               ? RUN_ALL_TESTS()
               : 2;
}
