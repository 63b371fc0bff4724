// The simulation build run as the service QvNyxService, on a machine played by the settings
// under HKLM\SOFTWARE\QvNyxSimulation, with the fake flashing tool. Staging deletes the log.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <tuple>

#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "smbios_builders.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_serviceExecutable;  // the simulation build's QvNyxService.exe
std::wstring g_tools;              // the folder of the fake tool's executables

using Lines = std::vector<std::wstring>;
constexpr wchar_t kSimulationKey[] = L"SOFTWARE\\QvNyxSimulation";
constexpr wchar_t kEventFile[] = L"C:\\NyxE2E\\events.txt";
constexpr wchar_t kImageFolder[] = L"C:\\NyxE2E\\Service";
constexpr wchar_t kStagingFolder[] = L"C:\\windows\\system32\\Firmware";
const Lines kToolFiles = {L"QvKelFlash64.exe", L"QVToastNotificationActivator64.exe",
                          L"QVFirmwareUpdate.jpg"};
constexpr wchar_t kWatchSetUp[] = L"ServiceLoop : monitoring DriverStore FileRepository";
constexpr wchar_t kCheck[] = L"Entered do while loop  - ";
// As the service builds them from the Windows directory, which Wine names C:\windows.
const std::wstring kFirmwareFolder = L"C:\\windows\\Firmware";
const std::wstring kPackageFolder = kFirmwareFolder + L"\\pkg1";
const std::wstring kDriverStore = L"C:\\windows\\System32\\DriverStore\\FileRepository";

// How many of |lines| begin with |prefix|.
size_t Count(const Lines& lines, const std::wstring& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; });
}
// Whether lines beginning with |expected| occur in |actual| in this order.
::testing::AssertionResult InOrder(const Lines& actual, const Lines& expected) {
    auto at = actual.begin();
    for (const std::wstring& line : expected) {
        at = std::find_if(at, actual.end(), [&](const auto& each) { return Count({each}, line); });
        if (at++ == actual.end()) {
            return ::testing::AssertionFailure() << test::Utf8(line) << " missing";
        }
    }
    return ::testing::AssertionSuccess();
}
Lines Events() {
    return test::SplitLines(win::Utf8ToWide(test::ReadFileBytes(kEventFile)), std::wstring(L"\n"));
}
// An event as the simulation build writes it: the type of its severity, the ID, the strings.
std::wstring Event(DWORD id, const Lines& strings = {}) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%ls 0x%08lX", id >> 30 == 3 ? L"Error" : L"Information", id);
    std::wstring line = text;
    for (const std::wstring& string : strings) {
        line += L" |" + string;
    }
    return line;
}
std::wstring Succeeded(const std::wstring& capsule) {
    return Event(MSG_UPGRADE_SUCCEEDED, {capsule});
}
// The service's UpgradeStatus (99 when missing), LastBinFile ("" when missing) and, when given,
// AttemptCount.
void ExpectValues(DWORD status, const std::wstring& lastBinFile, std::optional<DWORD> count = {}) {
    EXPECT_EQ(test::MachineDword(test::kServiceKey, L"UpgradeStatus").value_or(99), status);
    if (count) {
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"AttemptCount"), count);
    }
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, L"LastBinFile", RRF_RT_REG_SZ, nullptr,
                   buffer, &size);
    EXPECT_EQ(buffer, lastBinFile);
}
// Plays the boot the machine runs in: another |boot| is a reboot.
void SetBoot(ULONGLONG boot) {
    test::SetMachineValue(kSimulationKey, L"BootTime", REG_QWORD, &boot, sizeof(boot));
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
    EXPECT_TRUE(std::ofstream(path.c_str()) << test::Utf8(path)) << test::Utf8(path);
    return path;
}
// Waits until |read|() holds |expected| in order; with |nudge|, changes the watched firmware
// folder before each retry, which the loop answers with a check once its watch is set up again.
bool Await(Lines (*read)(), const Lines& expected, bool nudge = false) {
    int count = 0;
    const auto change = [&] { return PlaceFile(kFirmwareFolder, std::to_wstring(++count)); };
    return test::WaitUntil([&] { return InOrder(read(), expected) || (nudge && change().empty()); },
                           30000, nudge ? 300 : 100);
}
// |files| and the tool files of |from| were staged into |to|, and the tool was started there as
// QvKelFlash64.exe -s -b, on the user's desktop, after the
// service recorded the attempt, with the machine's environment, the user's name and the
// protected TEMP and TMP: none of the variables SetUp planted for the user.
void ExpectToolStartedIn(const std::wstring& to, const std::wstring& from, Lines files = {}) {
    files.insert(files.end(), kToolFiles.begin(), kToolFiles.end());
    for (const std::wstring& name : files) {
        EXPECT_EQ(test::ReadFileBytes(to + L"\\" + name), test::ReadFileBytes(from + L"\\" + name))
            << test::Utf8(name);
    }
    auto record = test::ReadToolRecord();
    const std::string tool = test::Utf8(to + L"\\" + kToolFiles[0]);
    EXPECT_EQ(record["command_line"] + "|" + record["working_folder"] + "|" + record["desktop"] +
                  "|" + record["upgrade_status"],
              tool + " -s -b|" + test::Utf8(to) + "|winsta0\\default|1");
    const std::string temp = test::Utf8(kStagingFolder + std::wstring(L"\\Temp\\0"));
    EXPECT_EQ(record["TEMP"] + "|" + record["TMP"], temp + "|" + temp);
    EXPECT_EQ(record["windir"] + "|" + record["SystemRoot"], "C:\\windows|C:\\windows");
    EXPECT_EQ(record["Path"],
              "C:\\windows\\system32;C:\\windows;C:\\windows\\system32\\Wbem;"
              "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\");
    EXPECT_NE(record["USERNAME"], "");
    std::string planted;
    for (const char* name : {"USERNAME", "ComSpec", "PATHEXT", "marker", "COR_ENABLE_PROFILING",
                             "COR_PROFILER_PATH", "DOTNET_STARTUP_HOOKS"})
        planted += record[name].find("Planted") == std::string::npos ? "" : name;
    EXPECT_EQ(planted, "");
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
        const DWORD firstWaitMs = 100, session = 1;
        test::SetMachineValue(kSimulationKey, L"StartupDelayMs", REG_DWORD, &firstWaitMs, 4);
        test::SetMachineValue(kSimulationKey, L"ActiveSession", REG_DWORD, &session, 4);
        SetBios(12);
        // What any process of the user's session may set for the user: none of it may reach the
        // elevated tool (the prefix's own programs take the folder as TEMP).
        ::CreateDirectoryW(L"C:\\Planted", nullptr);
        for (const wchar_t* name : {L"Path", L"TEMP", L"TMP", L"NYX_FAKE_FLASH_MARKER", L"windir",
                                    L"SystemRoot", L"ComSpec", L"PATHEXT", L"COR_ENABLE_PROFILING",
                                    L"COR_PROFILER_PATH", L"DOTNET_STARTUP_HOOKS"}) {
            test::SetUserValue(L"Environment", name, L"C:\\Planted");
        }
        test::SetUserValue(L"Volatile Environment", L"USERNAME", L"Planted");
        // An installer's folder on the machine's Path, which users may write.
        const wchar_t path[] = L"C:\\windows\\system32;C:\\windows;C:\\Planted";
        test::SetMachineValue(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                              L"Path", REG_EXPAND_SZ, path, sizeof(path));
        SetBoot(1);
    }
    // Starts the service, with |folder| first installed from there (a new key) beside the tools.
    void Start(const std::wstring& folder = L"") {
        if (!folder.empty()) {
            PlaceFile(folder, kToolFiles[2]);
            for (const std::wstring& file : {kToolFiles[0], kToolFiles[1]}) {
                ::CopyFileW((g_tools + L"\\" + file).c_str(), (folder + L"\\" + file).c_str(), 0);
            }
            ::CopyFileW(g_serviceExecutable.c_str(), (folder + L"\\QvNyxService.exe").c_str(), 0);
            ASSERT_TRUE(service_.Install(folder + L"\\QvNyxService.exe")) << ::GetLastError();
        }
        ASSERT_TRUE(::StartServiceW(service_.Get(), 0, nullptr) &&
                    service_.WaitForState(SERVICE_RUNNING));
    }
    static Lines Log() { return test::ReadServiceLogMessages(ServiceLogPath()); }
    test::InstalledService service_;  // removed with the fixture
};

// A driver-store package without its capsule is checked at once; the capsule landing later (no
// stray one of another package) is staged into System32\Firmware, beside no capsule of an
// earlier attempt, and flashed, and the tool asks for a reboot. Until the reboot that pending flash
// holds a newer package; after it the flash is judged and the newer one follows.
TEST_F(ServiceEndToEndTest, DriverStoreCapsuleIsFlashedAndHoldsANewerOneUntilItsReboot) {
    test::SetToolOrder("3010");
    const std::wstring name = L"abc_01130000.inf_amd64_5e1d0c2b3a4f6789";
    const std::wstring package = kDriverStore + L"\\" + name;
    PlaceFile(package, L"ABC_01130000.inf");
    const std::wstring stale = PlaceFile(kStagingFolder, L"ABC_01120500.inf");
    PlaceFile(kStagingFolder, L"ABC_01120500.bin");  // an earlier attempt's, removed
    // Another maker's package, and the store's root, supply no capsule of the family.
    PlaceFile(kDriverStore + L"\\netdrv.inf_amd64_0123456789abcdef", L"ABC_99990000.bin");
    PlaceFile(kDriverStore, L"ABC_99980000.bin");
    Start(package);
    ASSERT_TRUE(Await(Log, {kCheck, L"Match found: " + name, L"Searched DIRID13", kCheck}));
    WIN32_FIND_DATAW entry;  // Wine watches a folder below the tree once it has been opened
    ::FindClose(::FindFirstFileW((package + L"\\*").c_str(), &entry));
    const std::wstring capsule = PlaceFile(package, L"ABC_01130000.bin");
    const std::wstring handedOver = Event(MSG_DOWNLOAD_SUCCEEDED, {capsule});
    ASSERT_TRUE(Await(Events, {handedOver}));
    ExpectToolStartedIn(kStagingFolder, package, {L"ABC_01130000.bin", L"ABC_01130000.inf"});
    EXPECT_EQ(test::ReadToolRecord()["bin_files"], "ABC_01130000.bin;");
    EXPECT_EQ(Count(Log(), kWatchSetUp), 0u);  // none since the hand-over
    EXPECT_FALSE(test::FileExists(stale));
    ASSERT_TRUE(service_.Stop());
    ExpectValues(1, capsule, 1);
    EXPECT_TRUE(InOrder(Events(), {Event(MSG_UPGRADING_FIRMWARE, {capsule}),
                                   Event(MSG_REBOOT_REQUIRED), handedOver}));
    // Until its reboot the pending flash, then a reported success, holds a newer package (arriving
    // at the rows naming one); the BIOS after the reboot judges it: succeeded, or failed: retried.
    const auto stem = [](int minor) { return L"ABC_01" + std::to_wstring(minor) + L"0000"; };
    const auto folder = [&](int minor) { return kDriverStore + L"\\" + stem(minor) + L".inf_x"; };
    const std::wstring held = L"ServiceLoop : a flash waits for its reboot",
                       newer = folder(14) + L"\\" + stem(14) + L".bin",
                       newest = folder(15) + L"\\" + stem(15) + L".bin";
    // clang-format off
    for (const auto& [boot, bios, arrives, seen] : std::vector<std::tuple<int, int, int, Lines>>{
             {1, 12, 14, {held}}, {2, 13, 0, {Succeeded(capsule), Succeeded(newer)}},
             {2, 13, 15, {held}}, {3, 14, 0, {Succeeded(newer), Succeeded(newest)}},
             {4, 14, 0, {Event(MSG_UPGRADE_FAILED, {newest}), Succeeded(newest)}}}) {
        // clang-format on
        for (const wchar_t* extension : {L".inf", L".bin"})
            if (arrives)
                PlaceFile(folder(arrives), stem(arrives) + extension);
        SetBoot(boot);
        SetBios(bios);
        ::DeleteFileW(kEventFile);
        test::SetToolOrder("0");  // and forgets the run before
        Start();
        ASSERT_TRUE(Await(seen[0] == held ? Log : Events, seen));
        ASSERT_TRUE(service_.Stop());
        EXPECT_EQ(test::ReadToolRecord().empty(), seen[0] == held);  // nothing ran over it
    }
    EXPECT_EQ(test::ReadToolRecord()["attempt_count"], "2");
    ExpectValues(3, newest, 2);
}

// A tool that is unsigned, signed by another certificate or changed after signing is never
// started and leaves no attempt; signed by the service's own certificate, it runs.
TEST_F(ServiceEndToEndTest, ToolNotSignedByTheServicesSignerIsNeverStarted) {
    test::SetToolOrder("0");
    const std::wstring tool = L"\\QvKelFlash64.exe", staged = kPackageFolder + tool;
    const std::string good = test::ReadFileBytes(g_tools + tool);
    std::string changed = good;
    changed[0x400] ^= 1;  // in the signed code
    Start(kImageFolder);
    const std::wstring capsule = kPackageFolder + L"\\ABC_01130000.bin";
    for (const auto& [bytes, result] : std::vector<std::pair<std::string, std::wstring>>{
             {test::ReadFileBytes(g_tools + L"\\unsigned" + tool), L"0x800B0100"},
             {test::ReadFileBytes(g_tools + L"\\foreign" + tool), L"0x800B0004"},
             {changed, L"0x80096010"}}) {
        SCOPED_TRACE(test::Utf8(result));
        ::DeleteFileW(kEventFile);
        ASSERT_TRUE(std::ofstream((kImageFolder + tool).c_str(), std::ios::binary) << bytes);
        PlaceFile(kPackageFolder, L"ABC_01130000.bin");  // checked with this tool
        ASSERT_TRUE(Await(Events, {Event(MSG_CAPSULE_UNVERIFIED, {staged, result})}, true));
        EXPECT_TRUE(test::ReadToolRecord().empty());
        ExpectValues(0, L"");
    }
    ASSERT_TRUE(std::ofstream((kImageFolder + tool).c_str(), std::ios::binary) << good);
    PlaceFile(kPackageFolder, L"ABC_01130000.bin");
    ASSERT_TRUE(Await(Events, {Event(MSG_UPGRADE_SUCCEEDED, {capsule})}, true));
    ExpectValues(3, capsule);
}

// A power cut at any step of an attempt loses nothing: after a reboot into the old BIOS the
// capsule is flashed, by a second launch where the first may have run; after one into the new
// BIOS the flash is judged, and nothing runs again.
TEST_F(ServiceEndToEndTest, PowerCutAtAnyStepOfAnAttemptLosesNothing) {
    const std::wstring capsule = PlaceFile(kPackageFolder, L"ABC_01130000.bin");
    bool installed = false;
    // clang-format off
    for (const auto& [point, launches, newBios] : std::vector<std::tuple<std::wstring, int, bool>>{
             {L"staged", 1, false}, {L"recording", 1, false}, {L"recorded", 1, false},
             {L"launched", 2, false}, {L"tool-ended", 2, false}, {L"tool-ended", 1, true}}) {
        // clang-format on
        SCOPED_TRACE(test::Utf8(point) + (newBios ? " new BIOS" : ""));
        for (const wchar_t* name : {L"LastBinFile", L"UpgradeStatus", L"AttemptCount",
                                    L"AttemptBoot", L"AttemptJudged"}) {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, name);
        }
        ::DeleteFileW(kEventFile);
        SetBios(12);
        SetBoot(1);
        test::SetToolOrder("0");
        test::SetMachineValue(kSimulationKey, L"CrashAt", REG_SZ, point.c_str(),
                              static_cast<DWORD>((point.size() + 1) * sizeof(wchar_t)));
        installed ? Start() : Start(kImageFolder);
        installed = true;
        win::UniqueHandle process(
            ::OpenProcess(SYNCHRONIZE, FALSE, service_.QueryStatus().dwProcessId));
        ASSERT_EQ(::WaitForSingleObject(process.Get(), 60000), DWORD{WAIT_OBJECT_0});
        EXPECT_FALSE(::RegGetValueW(HKEY_LOCAL_MACHINE, kSimulationKey, L"CrashAt", RRF_RT_ANY,
                                    nullptr, nullptr, nullptr) == ERROR_SUCCESS);
        if (launches == 2) {
            test::WaitForToolRecord(30000);  // the tool the cut service started ran on
        }
        SetBoot(2);
        SetBios(newBios ? 13 : 12);
        test::SetToolOrder("0");
        Start();
        ASSERT_TRUE(Await(Events, {Event(MSG_UPGRADE_SUCCEEDED, {capsule})}));
        ASSERT_TRUE(service_.Stop());
        ExpectValues(3, capsule, launches);
        EXPECT_EQ(test::ReadToolRecord()["attempt_count"], newBios ? "" : std::to_string(launches));
    }
}

// A capsule whose tool fails is launched once in each of three runs, then no more; when the stop
// ends the tool the record stays exactly as it was. Republished in another folder it is the same
// capsule, its count going on. A newer capsule that lands while its tool fails is flashed right
// after, unprompted.
TEST_F(ServiceEndToEndTest, FailingCapsuleIsLaunchedOncePerRunThreeTimesInAll) {
    std::wstring capsule = PlaceFile(kPackageFolder, L"ABC_01130000.bin");
    bool installed = false;
    // the tool's order, AttemptCount seen by the tool ("" when not started) and stored after, and
    // whether the capsule moved to another folder before the run
    // clang-format off
    const std::tuple<const char*, const char*, DWORD, bool> runs[] = {
        {"1", "1", 1, false}, {"sleep", "2", 1, false}, {"1", "2", 2, true}, {"1", "3", 3, false},
        {"1", "", 3, false}};
    // clang-format on
    for (const auto& [order, seen, count, moved] : runs) {
        SCOPED_TRACE(std::string(order) + seen);
        ::DeleteFileW(kEventFile);
        ::DeleteFileW(ServiceLogPath().c_str());
        if (moved) {
            test::RemoveTree(kPackageFolder);
            capsule = PlaceFile(kFirmwareFolder + L"\\pkg2", L"ABC_01130000.bin");
        }
        test::SetToolOrder(order);
        installed ? Start() : Start(kImageFolder);
        installed = true;
        win::UniqueHandle tool;
        if (order == std::string("sleep")) {  // a run the stop ends
            const std::string pid = test::WaitForToolRecord(30000)["pid"];
            tool.Reset(::OpenProcess(SYNCHRONIZE, FALSE, std::stoul("0" + pid)));
        } else {
            ASSERT_TRUE(Await(Log, {L"IsUpgradeneeded :  not retrying capsule"}, true));
        }
        ASSERT_TRUE(service_.Stop());
        EXPECT_EQ(::WaitForSingleObject(tool.Get(), 30000), tool ? WAIT_OBJECT_0 : WAIT_FAILED);
        EXPECT_EQ(Count(Events(), Event(MSG_UPGRADING_FIRMWARE, {capsule})), *seen ? 1u : 0u);
        EXPECT_EQ(test::ReadToolRecord()["attempt_count"], seen);
        ExpectValues(2, capsule, count);
    }
    test::SetToolOrder("1 after 3000");
    Start();
    const std::wstring newer = PlaceFile(kFirmwareFolder + L"\\pkg3", L"ABC_01140000.bin");
    EXPECT_EQ(test::WaitForToolRecord(30000)["attempt_count"], "1");
    test::SetToolOrder("0");
    const std::wstring newest = PlaceFile(kFirmwareFolder + L"\\pkg4", L"ABC_01150000.bin");
    ASSERT_TRUE(Await(Events, {Event(MSG_UPGRADE_FAILED, {newer}), Succeeded(newest)}));
    ExpectValues(3, newest, 1);
}

// A standard user's session starts no tool and spends no launch; an administrator's does. A tool
// that reported a failure after the firmware took the capsule is judged by the reboot into the
// capsule's BIOS, even with the service key written after the reboot, and nothing runs again.
TEST_F(ServiceEndToEndTest, AStandardUserStartsNoToolAndAReportedFailureIsJudgedAfterTheReboot) {
    test::SetToolOrder("1");
    const DWORD standardUser = 0, administrator = 1;
    test::SetMachineValue(kSimulationKey, L"SessionUserIsAdmin", REG_DWORD, &standardUser, 4);
    const std::wstring capsule = PlaceFile(kPackageFolder, L"ABC_01130000.bin");
    Start(kImageFolder);
    ASSERT_TRUE(Await(Events, {Event(MSG_CALL_FAILED, {L"CreateProcessAsUser", L"740"})}));
    EXPECT_TRUE(test::ReadToolRecord().empty());
    ExpectValues(0, L"");
    ::DeleteFileW(kEventFile);
    test::SetMachineValue(kSimulationKey, L"SessionUserIsAdmin", REG_DWORD, &administrator, 4);
    ASSERT_TRUE(Await(Events, {Event(MSG_UPGRADE_FAILED, {capsule})}, true));
    ASSERT_TRUE(service_.Stop());
    ExpectValues(2, capsule, 1);
    SetBoot(2);
    SetBios(13);
    const wchar_t policy[] = L"written by an installer after the reboot";
    test::SetMachineValue(test::kServiceKey, L"Description", REG_SZ, policy, sizeof(policy));
    ::DeleteFileW(kEventFile);
    test::SetToolOrder("1");  // and forgets the run before
    Start();
    ASSERT_TRUE(Await(Log, {L"ServiceLoop : last upgrade succeeded", kWatchSetUp}));
    EXPECT_EQ(Count(Events(), Event(MSG_UPGRADE_SUCCEEDED, {capsule})), 1u);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    ExpectValues(3, capsule, 1);
}

}  // namespace

int main(int argc, char** argv) {
    return test::InitWithHostPaths(argc, argv, "<QvNyxService.exe> <fake tool folder>",
                                   {&g_serviceExecutable, &g_tools})
               ? RUN_ALL_TESTS()
               : 2;
}
