// The service end to end: the simulation build of QvNyxService.exe installed as the service
// QvNyxService in the test prefix and started by Wine's service control manager. The machine
// behind it is simulated through HKLM\SOFTWARE\QvNyxSimulation (the SMBIOS table, the length
// of the first wait, the user's session, and a file that receives every reported event); the
// flashing tool is the fake one, which takes its orders from and leaves its record in
// C:\FakeFlashTool. Everything else is real: the service control manager, the registry,
// folders, change notifications and processes.
//
// Each test plays one situation of a real machine and checks what the service leaves behind:
// its log, its two registry values, the staged files, how the tool was started, and the events.
//
// The service deletes its log when it starts a capsule update, so a test that needs the lines
// written before the staging reads them before it lets the capsule appear, or checks the event
// file, which is never truncated.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "smbios_builders.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

using Lines = std::vector<std::wstring>;
using EventLines = std::vector<std::string>;

// Set by main from the command line, as Windows paths.
std::wstring g_serviceExecutable;  // the simulation build's QvNyxService.exe
std::wstring g_toolFolder;         // the folder of the fake tool's executables

using test::kServiceKey;
constexpr wchar_t kSimulationKey[] = L"SOFTWARE\\QvNyxSimulation";

// The test's own folder in the prefix: the event file and the service image of the
// Windows-folder scenarios live here.
constexpr wchar_t kWorkFolder[] = L"C:\\NyxE2E";
constexpr wchar_t kEventFile[] = L"C:\\NyxE2E\\events.txt";
constexpr wchar_t kImageFolder[] = L"C:\\NyxE2E\\Service";

// The staging folder of the driver-store mode (also the folder of the service log).
constexpr wchar_t kStagingFolder[] = L"C:\\Windows\\System32\\Firmware";

// The files that go with the service: the tool, its notification helper and the logo.
constexpr wchar_t kToolFile[] = L"QvKelFlash64.exe";
constexpr wchar_t kToastFile[] = L"QVToastNotificationActivator64.exe";
constexpr wchar_t kLogoFile[] = L"QVFirmwareUpdate.jpg";

// Waits are generous (Wine is slow and the machine is shared); none of them is a check of
// speed.
constexpr DWORD kLongWaitMs = 60000;
constexpr DWORD kPollMs = 150;
// A short first wait of the loop, so that each scenario reaches its first check quickly.
constexpr DWORD kStartupDelayMs = 1500;
// How long a test watches for something that must not happen.
constexpr DWORD kQuietPeriodMs = 3000;

const wchar_t kResultNoUpgrade[] =
    L"IsUpgradeNeeded result: retval= 0 (1 = upgrade needed, 0 = no upgrade needed)";
const wchar_t kResultUpgrade[] =
    L"IsUpgradeNeeded result: retval= 1 (1 = upgrade needed, 0 = no upgrade needed)";
const wchar_t kMonitoringEntered[] =
    L"HANDLE Nyx::StartDirectoryMonitoring : StartDirectoryMonitoring entered ";

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length < MAX_PATH ? length : 0);
}

// The folders as the service builds them, from the Windows directory.
std::wstring FirmwareFolder() {
    return WindowsDirectory() + L"\\Firmware";
}
std::wstring DriverStoreFolder() {
    return WindowsDirectory() + L"\\System32\\DriverStore\\FileRepository";
}

std::string Narrow(const std::string& text) {
    return text;
}
std::string Narrow(const std::wstring& text) {
    return test::Utf8(text);
}

template <typename Text>
std::string Dump(const std::vector<Text>& lines) {
    std::string text;
    for (const Text& line : lines) {
        text += "    \"" + Narrow(line) + "\"\n";
    }
    return text;
}

// Whether |expected| occurs in |actual| in order, other lines allowed in between.
template <typename Text>
::testing::AssertionResult InOrder(const std::vector<Text>& actual,
                                   const std::vector<Text>& expected) {
    size_t at = 0;
    for (const Text& line : expected) {
        while (at < actual.size() && actual[at] != line) {
            ++at;
        }
        if (at == actual.size()) {
            return ::testing::AssertionFailure()
                   << "missing (in this order): \"" << Narrow(line) << "\"\nactual:\n"
                   << Dump(actual);
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

using test::Concat;

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = kLongWaitMs) {
    return test::WaitUntil(condition, milliseconds, kPollMs);
}

void Pause(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---- The service log and the event file.

Lines ReadLog() {
    return test::ReadServiceLogMessages(ServiceLogPath);
}

// Waits until the log holds |expected| in order.
bool WaitForLog(const Lines& expected) {
    return WaitUntil([&expected] { return static_cast<bool>(InOrder(ReadLog(), expected)); });
}

EventLines ReadEvents() {
    return test::SplitLines(test::ReadFileBytes(kEventFile), std::string("\n"));
}

bool WaitForEvents(const EventLines& expected) {
    return WaitUntil([&expected] { return static_cast<bool>(InOrder(ReadEvents(), expected)); });
}

// An event as the simulation build writes it: type word, ID, then each string after " |".
std::string Event(const char* type, DWORD id, std::initializer_list<std::wstring> strings = {}) {
    char number[16];
    std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(id));
    std::string line = std::string(type) + " " + number;
    for (const std::wstring& text : strings) {
        line += " |" + test::Utf8(text);
    }
    return line;
}

std::string Info(DWORD id, std::initializer_list<std::wstring> strings = {}) {
    return Event("Information", id, strings);
}

std::string Error(DWORD id, std::initializer_list<std::wstring> strings = {}) {
    return Event("Error", id, strings);
}

size_t CountEventsStartingWith(const EventLines& events, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : events) {
        count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return count;
}

// ---- Registry.

std::optional<DWORD> ServiceDword(const wchar_t* name) {
    return test::MachineDword(kServiceKey, name);
}

std::optional<std::wstring> ServiceString(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, RRF_RT_REG_SZ, nullptr, buffer,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(buffer);
}

void SetDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) {
    test::SetMachineValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void SetString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value) {
    test::SetMachineValue(keyPath, name, REG_SZ, value.c_str(),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The simulated BIOS: "ABC Ver. 01.02.03" with release |major|.|minor| is family ABC,
// version 01.<major>.<minor> (the first group comes from the third word).
void SetSimulatedBios(std::uint8_t major, std::uint8_t minor) {
    const smbios_test::Bytes table =
        smbios_test::Table({smbios_test::BiosInformation("ABC Ver. 01.02.03", major, minor),
                            smbios_test::EndOfTable()});
    test::SetMachineValue(kSimulationKey, L"SmbiosData", REG_BINARY, table.data(),
                          static_cast<DWORD>(table.size()));
}

// ---- Files.

void WriteTextFile(const std::wstring& path, const std::string& text) {
    win::UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.IsValid()) << Narrow(path) << ": " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

void CopyInto(const std::wstring& source, const std::wstring& destination) {
    ASSERT_TRUE(::CopyFileW(source.c_str(), destination.c_str(), FALSE))
        << Narrow(source) << " -> " << Narrow(destination) << ": " << ::GetLastError();
}

// Empties |folder| (creating it when missing).
void RecreateFolder(const std::wstring& folder) {
    test::RemoveTree(folder);
    ::CreateDirectoryW(folder.c_str(), nullptr);
}

// Puts the service executable and the files that go with it into |folder|.
void PlaceServiceFiles(const std::wstring& folder) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    CopyInto(g_serviceExecutable, folder + L"\\QvNyxService.exe");
    CopyInto(g_toolFolder + L"\\" + kToolFile, folder + L"\\" + kToolFile);
    CopyInto(g_toolFolder + L"\\" + kToastFile, folder + L"\\" + kToastFile);
    WriteTextFile(folder + L"\\" + kLogoFile, "QV firmware update logo\n");
}

// The capsule contents: each one names itself, so a staged copy can be told from another.
std::string CapsuleBytes(const std::wstring& name) {
    return "capsule " + test::Utf8(name) + " (simulated payload)\n";
}

void ExpectSameFile(const std::wstring& staged, const std::wstring& original) {
    const std::string stagedBytes = test::ReadFileBytes(staged);
    EXPECT_FALSE(stagedBytes.empty()) << "not staged: " << Narrow(staged);
    EXPECT_EQ(stagedBytes, test::ReadFileBytes(original)) << Narrow(staged);
}

// Wine adds a folder below a watched tree to its watch only once a Wine process has opened
// that folder while the watch exists (Windows watches the whole tree from the start), so a file
// created in a folder nobody has opened since would go unnoticed. In the store scenario the
// service's own check lists the package folder right after setting up the watch, which already
// suffices; the test lists the folder itself too before it drops a file in, so that it does not
// depend on that order. Listing changes nothing the service sees.
void LetWineWatch(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    ASSERT_TRUE(find.IsValid()) << Narrow(folder);
    while (::FindNextFileW(find.Get(), &entry)) {
    }
}

std::string Lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The fake tool's record of its last start, checked against a start as the service makes it:
// |toolFolder|\QvKelFlash64.exe with the switches "-s -b", |toolFolder| as current folder, on
// the user's default desktop, after the service has set UpgradeStatus to 1.
void ExpectToolStartedIn(const std::wstring& toolFolder) {
    const std::map<std::string, std::string> record = test::ReadToolRecord();
    ASSERT_FALSE(record.empty()) << "the tool did not run";
    const auto field = [&record](const char* name) {
        const auto found = record.find(name);
        return found != record.end() ? found->second : std::string("<missing>");
    };
    const std::wstring tool = toolFolder + L"\\" + kToolFile;
    EXPECT_EQ(field("command_line"), test::Utf8(tool + L" -s -b"));
    EXPECT_EQ(field("working_folder"), test::Utf8(toolFolder));
    // Wine gives the module's path in the case of the folders on disk: compared as Windows
    // compares paths, ignoring case.
    EXPECT_EQ(Lowercase(field("image")), Lowercase(test::Utf8(tool)));
    EXPECT_EQ(field("desktop"), "winsta0\\default");
    EXPECT_EQ(field("upgrade_status"), "1");
}

// ---- The lines every run writes up to its first check, and those of a check.

Lines StartUpLines(DWORD initialStatus, const std::wstring& lastBinFileLine) {
    return Concat({
        test::ServiceStartLines(initialStatus),
        {
            L"ServiceLoop entered : ",
            L"Directory already exists: C:\\Windows\\System32\\Firmware",
            L"Directory already exists: C:\\Windows\\Firmware",
            lastBinFileLine,
            L"ServiceLoop : startup done",
        },
    });
}

const wchar_t kNoLastBinFile[] = L"unable to read LastBinFile from registry with Error code: 2";

// A check that finds no capsule in |folder| (the search's start folder).
Lines CheckFindingNothing(const std::wstring& folder) {
    return {
        L"Entered do while loop  - ",
        L"bool Nyx::IsUpgradeNeeded : Retreive SMBios info ",
        L"Starting Path: " + folder + L"\\",
        L"bool Nyx::IsUpgradeNeeded : Unable to find firmware file",
        kResultNoUpgrade,
    };
}

// A check that finds |capsule| newer than the BIOS, with |result| after the last attempt.
Lines CheckFindingNewer(const std::wstring& folder, const std::wstring& capsule,
                        const wchar_t* result) {
    return {
        L"Entered do while loop  - ",
        L"bool Nyx::IsUpgradeNeeded : Retreive SMBios info ",
        L"Starting Path: " + folder + L"\\",
        L"bool Nyx::IsUpgradeNeeded : binaryName:  " + capsule,
        L"bool Nyx::IsUpgradeNeeded : fileversion is greater then bios version",
        result,
    };
}

// The watch set-up when the driver store holds nothing newer than |installed|: the Windows
// firmware folder is watched. |firstTime|: the store's path is built on the first set-up only.
Lines WatchOfFirmwareFolder(const std::wstring& installed, bool firstTime) {
    Lines lines = {L"ServiceLoop : monitoring DriverStore FileRepository"};
    if (firstTime) {
        lines.push_back(L"BuildFwPathDIRID13: " + DriverStoreFolder());
    }
    const Lines rest = {
        kMonitoringEntered,  L"Installed BIOS version :  " + installed,
        L"BIOS Family: ABC", L"Enntered DIRID10 folder to search for new capsule ",
        kMonitoringEntered,
    };
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

// The log of a Windows-folder staging into |packageFolder| by the service in kImageFolder, up to
// the tool's start.
Lines FirmwareFolderStagingLines(const std::wstring& packageFolder) {
    return {
        L"Starting new capsule update - old log file deleted",
        L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + packageFolder,
        std::wstring(L"srcPath: ") + kImageFolder + L"\\QvNyxService.exe",
        L"BIOS needs upgrade",
        L"Entered RunKel() methos" + packageFolder,
        L"Entered RUNKEL - ConfirmCapsule - ",
        L"LaunchWithUi - CreateProcessAsUser succeeded",
    };
}

const std::wstring kNoticeOfDeletedLog[] = {L"DeleteOldLogFile",
                                            L"Successfully deleted old log file for new capsule "
                                            L"update"};

// ---- The fixture: a clean machine for every scenario.

class ServiceEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service_.Open()) << ::GetLastError();
        EndLeftoverTool();

        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimulationKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSimulationKey);
        RecreateFolder(FirmwareFolder());
        RecreateFolder(kStagingFolder);  // the log goes with it
        RecreateFolder(DriverStoreFolder());
        RecreateFolder(kWorkFolder);
        test::RemoveTree(test::kFakeToolFolder);
        ASSERT_FALSE(test::FileExists(ServiceLogPath));

        SetString(kSimulationKey, L"EventFile", kEventFile);
        SetDword(kSimulationKey, L"ActiveSession", 1);
        test::SetToolOrder("0");
    }

    // The machine most scenarios play: BIOS ABC 01.12.00 and a short first wait.
    void SimulateBios0112WithShortFirstWait() {
        SetDword(kSimulationKey, L"StartupDelayMs", kStartupDelayMs);
        SetSimulatedBios(12, 0);
    }

    void TearDown() override {
        service_.Remove();
        EndLeftoverTool();
    }

    // Installs the service with the executable at |image| (which must exist), demand start,
    // own process, LocalSystem; then clears the two values of its key.
    void InstallService(const std::wstring& image) {
        ASSERT_TRUE(service_.Install(image)) << ::GetLastError();
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"UpgradeStatus");
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"LastBinFile");
    }

    // The service image of the Windows-folder scenarios: outside the driver store, with the
    // tool files beside it.
    void InstallServiceOutsideDriverStore() {
        PlaceServiceFiles(kImageFolder);
        InstallService(std::wstring(kImageFolder) + L"\\QvNyxService.exe");
    }

    void StartService() {
        ASSERT_TRUE(::StartServiceW(service_.Get(), 0, nullptr)) << ::GetLastError();
        ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING));
    }

    // Sends the stop control and waits for STOPPED.
    bool StopService() { return service_.Stop(); }

    DWORD QueryState() { return service_.QueryState(); }

    // A package folder below the Windows firmware folder holding |capsuleName|.
    std::wstring PlaceFirmwareFolderCapsule(const std::wstring& capsuleName) {
        const std::wstring folder = FirmwareFolder() + L"\\pkg1";
        ::CreateDirectoryW(folder.c_str(), nullptr);
        WriteTextFile(folder + L"\\" + capsuleName, CapsuleBytes(capsuleName));
        return folder + L"\\" + capsuleName;
    }

private:
    // A tool that a failed scenario left running must not disturb the next one.
    static void EndLeftoverTool() {
        const auto record = test::ReadToolRecord();
        const auto pid = record.find("pid");
        if (pid == record.end()) {
            return;
        }
        win::UniqueHandle process(
            ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(std::stoul(pid->second))));
        if (process) {
            ::TerminateProcess(process.Get(), 1);
        }
    }

protected:
    test::InstalledService service_;
};

// ---- 1. Stop during the first wait.

TEST_F(ServiceEndToEndTest, StopDuringFirstMinuteEndsLoopWithoutCheck) {
    // No StartupDelayMs: the first wait is the full minute.
    SetSimulatedBios(12, 0);
    InstallServiceOutsideDriverStore();
    SetDword(kServiceKey, L"UpgradeStatus", 3);
    StartService();
    ASSERT_TRUE(WaitForLog({L"start looking for capsule - Wait for 1 minute - "}));

    ASSERT_TRUE(StopService());
    const Lines expected = Concat({
        test::ServiceStartLines(3),
        {L"DWORD WINAPI Nyx::ServiceHandler : control = 1",
         L"ServiceLoop : Service is terminating"},
    });
    EXPECT_EQ(ReadLog(), expected);
    EXPECT_EQ(ReadEvents(),
              (EventLines{Info(MSG_SERVICE_STARTING), Info(MSG_SERVICE_TERMINATING)}));
    // The status is cleared at the start; nothing else is written.
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::nullopt);
    EXPECT_TRUE(test::ReadToolRecord().empty());
}

// ---- 2. No SMBIOS data.

TEST_F(ServiceEndToEndTest, NoSmbiosDataAbortsStartUpAndServiceRunsUntilStopped) {
    SetDword(kSimulationKey, L"StartupDelayMs", kStartupDelayMs);
    // No SmbiosData. The Windows firmware folder is missing too: start-up creates it.
    test::RemoveTree(FirmwareFolder());
    InstallServiceOutsideDriverStore();
    StartService();
    ASSERT_TRUE(WaitForLog({L"ServiceLoop : Service is terminating"}));

    const Lines expected = Concat({
        test::ServiceStartLines(2),
        {
            L"ServiceLoop entered : ",
            L"Directory already exists: C:\\Windows\\System32\\Firmware",
            L"Directory does not exist: C:\\Windows\\Firmware. Creating..",
            L"Directory created or already exists: C:\\Windows\\Firmware",
            L"BIOS Info not available",
            L"ServiceLoop : Startup aborted",
            L"ServiceLoop : Service is terminating",
        },
    });
    EXPECT_EQ(ReadLog(), expected);
    EXPECT_TRUE(test::FileExists(FirmwareFolder()));
    EXPECT_TRUE(InOrder(ReadEvents(), {Info(MSG_SERVICE_STARTING), Error(MSG_BIOS_INFO_UNREADABLE),
                                       Info(MSG_SERVICE_TERMINATING)}));

    // The loop has ended, the service has not: it stays RUNNING until it is stopped.
    Pause(kQuietPeriodMs);
    EXPECT_EQ(QueryState(), DWORD{SERVICE_RUNNING});
    ASSERT_TRUE(StopService());
    Lines afterStop = expected;
    afterStop.push_back(L"DWORD WINAPI Nyx::ServiceHandler : control = 1");
    EXPECT_EQ(ReadLog(), afterStop);
    EXPECT_EQ(CountEventsStartingWith(ReadEvents(), Info(MSG_SERVICE_TERMINATING)), 1u);
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::nullopt);
}

// ---- 3. Windows-folder mode.

TEST_F(ServiceEndToEndTest, WindowsFolderCapsuleIsFlashedInItsPackageFolderOnce) {
    SimulateBios0112WithShortFirstWait();
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_01130000.bin");
    const std::wstring packageFolder = FirmwareFolder() + L"\\pkg1";
    InstallServiceOutsideDriverStore();
    StartService();

    ASSERT_TRUE(WaitForEvents({Info(MSG_UPGRADE_SUCCEEDED, {capsule})}));
    const Lines expected = Concat({
        FirmwareFolderStagingLines(packageFolder),
        {L"RunKel - retval - 1", L"RunKel - retval -  1", L"Successfully set new upgrade status"},
    });
    ASSERT_TRUE(WaitForLog({L"Successfully set new upgrade status"}));
    EXPECT_EQ(ReadLog(), expected);

    // The tool ran once, from the package folder, with the capsule's folder as its own.
    ExpectToolStartedIn(packageFolder);
    // The tool files were staged beside the capsule.
    for (const wchar_t* file : {kToolFile, kToastFile, kLogoFile}) {
        ExpectSameFile(packageFolder + L"\\" + file, std::wstring(kImageFolder) + L"\\" + file);
    }
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(3));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));

    const EventLines events = ReadEvents();
    EXPECT_TRUE(
        InOrder(events, {
                            Info(MSG_SERVICE_STARTING),
                            Info(MSG_TEXT, {L"BIOS version = 010c0000 File version = "
                                            L"010d0000"}),
                            Info(MSG_UPGRADING_FIRMWARE, {capsule}),
                            Info(MSG_TEXT, {kNoticeOfDeletedLog[0], kNoticeOfDeletedLog[1]}),
                            Info(MSG_UPGRADE_SUCCEEDED, {capsule}),
                        }));
    EXPECT_EQ(CountEventsStartingWith(events, "Error"), 0u) << Dump(events);

    // After a successful flash the loop waits for the stop alone: a change in the watched
    // folder (its root and the package folder) leads to no further check.
    test::SetToolOrder("0");
    WriteTextFile(FirmwareFolder() + L"\\readme.txt", "changed\n");
    WriteTextFile(packageFolder + L"\\readme.txt", "changed\n");
    Pause(kQuietPeriodMs);
    EXPECT_EQ(ReadLog(), expected);
    EXPECT_TRUE(test::ReadToolRecord().empty());

    ASSERT_TRUE(StopService());
    EXPECT_TRUE(InOrder(ReadLog(), {L"DWORD WINAPI Nyx::ServiceHandler : control = 1",
                                    L"service stop or some error, leave the thread",
                                    L"ServiceLoop : Service is terminating"}));
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(3));
}

// ---- 4. Driver-store mode.

class DriverStoreTest : public ServiceEndToEndTest {
protected:
    // BIOS ABC 01.12.00 and a tool that asks for a reboot; the package without its capsule is
    // delivered into the store.
    void DeliverPackageToMachineWithOlderBios() {
        SimulateBios0112WithShortFirstWait();
        test::SetToolOrder("3010");
        DeliverPackageWithoutCapsule();
    }

    // The package folder Windows Update creates for the firmware package ABC 01.13.00.00, with
    // the service, the tool files and the capsule's .inf; the service is installed from it.
    void DeliverPackageWithoutCapsule() {
        packageFolder_ = DriverStoreFolder() + L"\\abc_01130000.inf_amd64_5e1d0c2b3a4f6789";
        PlaceServiceFiles(packageFolder_);
        WriteTextFile(packageFolder_ + L"\\ABC_01130000.inf", "; companion INF of ABC_01130000\n");
        InstallService(packageFolder_ + L"\\QvNyxService.exe");
    }

    std::wstring Capsule() const { return packageFolder_ + L"\\ABC_01130000.bin"; }

    void AddCapsule() { WriteTextFile(Capsule(), CapsuleBytes(L"ABC_01130000.bin")); }

    // The capsule of the package staged with the tool files into the staging folder, the tool
    // run there and asking for a restart.
    void ExpectFlashedFromDriverStore() {
        ASSERT_TRUE(WaitForEvents({Info(MSG_DOWNLOAD_SUCCEEDED, {Capsule()})}));
        ASSERT_TRUE(WaitForLog({L"Successfully set new upgrade status"}));
        const std::wstring staging = kStagingFolder;
        const Lines expected = {
            L"Starting new capsule update - old log file deleted",
            L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
            L"Source directory (DIRID13 NYX service location): ",
            L"Successfully copied .bin file to DIRID11 ",
            L"Successfully copied .inf file to DIRID11 ",
            L"Successfully copied KEL executable DIRID11 ",
            L"Successfully copied Toast Activator DIRID11 ",
            L"Successfully copied QV Logo DIRID11 ",
            L"BIOS needs upgrade",
            L"Entered RunKel() methos" + staging,
            L"Entered RUNKEL - ConfirmCapsule - ",
            L"LaunchWithUi - CreateProcessAsUser succeeded",
            L"RunKel - retval - 1",
            L"RunKel - retval -  1",
            L"KEL is running",
            L"Successfully set new upgrade status",
        };
        EXPECT_EQ(ReadLog(), expected);

        for (const wchar_t* file :
             {L"ABC_01130000.bin", L"ABC_01130000.inf", kToolFile, kToastFile, kLogoFile}) {
            ExpectSameFile(staging + L"\\" + file, packageFolder_ + L"\\" + file);
        }
        ExpectToolStartedIn(staging);
        EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(1));
        EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(Capsule()));

        const EventLines events = ReadEvents();
        EXPECT_TRUE(InOrder(events, {
                                        Info(MSG_SERVICE_STARTING),
                                        Info(MSG_TEXT, {L"BIOS version = 010c0000 File version = "
                                                        L"010d0000"}),
                                        Info(MSG_UPGRADING_FIRMWARE, {Capsule()}),
                                        Info(MSG_REBOOT_REQUIRED),
                                        Info(MSG_DOWNLOAD_SUCCEEDED, {Capsule()}),
                                    }));
        EXPECT_EQ(CountEventsStartingWith(events, Info(MSG_UPGRADING_FIRMWARE)), 1u);
        EXPECT_EQ(CountEventsStartingWith(events, "Error"), 0u) << Dump(events);

        ASSERT_TRUE(StopService());
        EXPECT_TRUE(InOrder(ReadLog(), {L"service stop or some error, leave the thread",
                                        L"ServiceLoop : Service is terminating"}));
    }

    // The lines up to the check in the driver store that the watch set-up starts at once.
    Lines LinesUpToDriverStoreCheck() const {
        const std::wstring packageName = packageFolder_.substr(packageFolder_.rfind(L'\\') + 1);
        return Concat({
            StartUpLines(2, kNoLastBinFile),
            CheckFindingNothing(FirmwareFolder()),
            {
                L"ServiceLoop : monitoring DriverStore FileRepository",
                L"BuildFwPathDIRID13: " + DriverStoreFolder(),
                kMonitoringEntered,
                L"Installed BIOS version :  01120000",
                L"BIOS Family: ABC",
                L"Match found: " + packageName,
                L"biosFolderNameUpToInf - abc_01130000.inf",
                L"Folder containing latest BIOS version from WU: " + packageName,
                L"Extracted version series: 01130000",
                L"Searched DIRID13 and latestbiosversionfromWU is  greater than installed version "
                L": ",
            },
        });
    }

    std::wstring packageFolder_;
};

// Windows Update has put the whole package, capsule included, into the store and started the
// service from there: after the first wait the loop finds the newer package, switches to the
// store and flashes without any further change below it.
TEST_F(DriverStoreTest, PackageInStoreIsFoundAtOnceAndStagedIntoSystemFirmwareFolder) {
    DeliverPackageToMachineWithOlderBios();
    AddCapsule();
    StartService();
    ExpectFlashedFromDriverStore();
}

// The package's folder holds only its .inf (and the service) at the start; the capsule lands
// later, while the loop watches the store.
TEST_F(DriverStoreTest, CapsuleLandingLaterInWatchedStoreIsFlashed) {
    DeliverPackageToMachineWithOlderBios();
    StartService();

    const Lines beforeCapsule = Concat({
        LinesUpToDriverStoreCheck(),
        CheckFindingNothing(DriverStoreFolder()),
    });
    ASSERT_TRUE(WaitForLog(beforeCapsule)) << Dump(ReadLog());
    EXPECT_EQ(ReadLog(), beforeCapsule);
    EXPECT_TRUE(test::ReadToolRecord().empty());

    // Under Wine the package folder must have been opened while the store is watched (see
    // LetWineWatch); on Windows this step is not needed.
    LetWineWatch(packageFolder_);
    AddCapsule();
    ExpectFlashedFromDriverStore();
}

// ---- 5. Tool failure.

TEST_F(ServiceEndToEndTest, FailedFlashIsNotRetriedAtNextChange) {
    SimulateBios0112WithShortFirstWait();
    test::SetToolOrder("1");
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_01130000.bin");
    const std::wstring packageFolder = FirmwareFolder() + L"\\pkg1";
    InstallServiceOutsideDriverStore();
    StartService();

    ASSERT_TRUE(WaitForEvents({Error(MSG_UPGRADE_FAILED, {capsule})}));
    // The loop watches the Windows firmware folder again after the failure.
    const Lines afterFailure = Concat({
        FirmwareFolderStagingLines(packageFolder),
        {L"RunKel - retval - 0", L"RunKel - retval -  0", L"Successfully set new upgrade status"},
        WatchOfFirmwareFolder(L"01120000", true),
    });
    ASSERT_TRUE(WaitForLog(afterFailure)) << Dump(ReadLog());
    EXPECT_EQ(ReadLog(), afterFailure);
    ExpectToolStartedIn(packageFolder);
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(2));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
    EXPECT_TRUE(InOrder(ReadEvents(), {
                                          Info(MSG_UPGRADING_FIRMWARE, {capsule}),
                                          Error(MSG_CALL_FAILED, {L"KEL", L"1"}),
                                          Error(MSG_UPGRADE_FAILED, {capsule}),
                                      }));

    // The next change (a new file in the watched folder's root) makes the loop check again: it
    // finds the same capsule, and leaves it alone because it failed last time.
    test::SetToolOrder("0");
    Pause(1000);  // the watch is set up right after its log line
    WriteTextFile(FirmwareFolder() + L"\\readme.txt", "changed\n");
    const Lines afterChange = Concat({
        afterFailure,
        CheckFindingNewer(FirmwareFolder(), capsule, kResultUpgrade),
        {
            L"IsUpgradeneeded :  new capsule found",
            L"IsUpgradeneeded :  not retrying capsule since last attempt failed ",
        },
    });
    ASSERT_TRUE(WaitForLog(afterChange)) << Dump(ReadLog());
    Pause(kQuietPeriodMs);
    EXPECT_EQ(ReadLog(), afterChange);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(2));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
    EXPECT_EQ(CountEventsStartingWith(ReadEvents(), Info(MSG_UPGRADING_FIRMWARE)), 1u);
}

// ---- 6. A capsule named with six digits, then a restart on the new BIOS.

TEST_F(ServiceEndToEndTest, SixDigitCapsuleIsNotFlashedAgainAfterRestart) {
    SimulateBios0112WithShortFirstWait();
    // ABC_011300.bin reads as 01.13.00.FF.
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_011300.bin");
    InstallServiceOutsideDriverStore();
    StartService();
    ASSERT_TRUE(WaitForEvents({Info(MSG_UPGRADE_SUCCEEDED, {capsule})}));
    ASSERT_TRUE(WaitForLog({L"Successfully set new upgrade status"}));
    ExpectToolStartedIn(FirmwareFolder() + L"\\pkg1");
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(3));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
    ASSERT_TRUE(StopService());

    // The machine restarts with the flashed BIOS, 01.13.00.
    SetSimulatedBios(13, 0);
    test::SetToolOrder("0");
    ::DeleteFileW(ServiceLogPath);
    StartService();
    const Lines expected = Concat({
        StartUpLines(3, L"lastinstalledversion from the registry - 01130025"),
        CheckFindingNewer(FirmwareFolder(), capsule, kResultNoUpgrade),
        WatchOfFirmwareFolder(L"01130000", true),
    });
    ASSERT_TRUE(WaitForLog(expected)) << Dump(ReadLog());
    Pause(kQuietPeriodMs);
    EXPECT_EQ(ReadLog(), expected);
    EXPECT_TRUE(test::ReadToolRecord().empty());

    const EventLines events = ReadEvents();
    EXPECT_TRUE(InOrder(events, {
                                    Info(MSG_UPGRADE_SUCCEEDED, {capsule}),
                                    Info(MSG_SERVICE_TERMINATING),
                                    Info(MSG_SERVICE_STARTING),
                                    Info(MSG_TEXT, {L"BIOS version = 010d0000 File version = "
                                                    L"010d00ff"}),
                                    Info(MSG_TEXT, {L"BIOS file = 010d00ff (01.13.00.255) not "
                                                    L"newer than last attempted = 010d00ff "
                                                    L"(01.13.00.255)"}),
                                }));
    EXPECT_EQ(CountEventsStartingWith(events, Info(MSG_UPGRADING_FIRMWARE)), 1u);
    // Start-up clears the status; the last attempt stays recorded.
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
}

// ---- 7. A capsule equal to the running BIOS.

TEST_F(ServiceEndToEndTest, CapsuleEqualToBiosIsNotAttempted) {
    SimulateBios0112WithShortFirstWait();
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_01120000.bin");
    InstallServiceOutsideDriverStore();
    StartService();

    const Lines expected = Concat({
        StartUpLines(2, kNoLastBinFile),
        {
            L"Entered do while loop  - ",
            L"bool Nyx::IsUpgradeNeeded : Retreive SMBios info ",
            L"Starting Path: " + FirmwareFolder() + L"\\",
            L"bool Nyx::IsUpgradeNeeded : binaryName:  " + capsule,
            kResultNoUpgrade,
        },
        WatchOfFirmwareFolder(L"01120000", true),
    });
    ASSERT_TRUE(WaitForLog(expected)) << Dump(ReadLog());
    Pause(kQuietPeriodMs);
    EXPECT_EQ(ReadLog(), expected);
    const EventLines events = ReadEvents();
    EXPECT_TRUE(InOrder(events, {
                                    Info(MSG_SERVICE_STARTING),
                                    Info(MSG_TEXT, {L"BIOS version = 010c0000 File version = "
                                                    L"010c0000"}),
                                    Info(MSG_TEXT, {L"BIOS file = 010c0000 (01.12.00.00) not "
                                                    L"newer than BIOS = 010c0000 (01.12.00.00)"}),
                                }));
    EXPECT_EQ(CountEventsStartingWith(events, Info(MSG_UPGRADING_FIRMWARE)), 0u);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::nullopt);
}

// ---- 8. Stop while the tool runs.

TEST_F(ServiceEndToEndTest, StopWhileToolRunsTerminatesToolAndFailsAttempt) {
    SimulateBios0112WithShortFirstWait();
    test::SetToolOrder("sleep");
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_01130000.bin");
    const std::wstring packageFolder = FirmwareFolder() + L"\\pkg1";
    InstallServiceOutsideDriverStore();
    StartService();

    const auto record = test::WaitForToolRecord(kLongWaitMs);
    ASSERT_FALSE(record.empty());
    win::UniqueHandle tool(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(std::stoul(record.at("pid")))));
    ASSERT_TRUE(tool.IsValid()) << ::GetLastError();
    ASSERT_TRUE(WaitForLog({L"LaunchWithUi - CreateProcessAsUser succeeded"}));
    EXPECT_EQ(::WaitForSingleObject(tool.Get(), 0), DWORD{WAIT_TIMEOUT});

    ASSERT_TRUE(StopService());
    EXPECT_EQ(::WaitForSingleObject(tool.Get(), kLongWaitMs), DWORD{WAIT_OBJECT_0});
    DWORD exitCode = 0;
    EXPECT_TRUE(::GetExitCodeProcess(tool.Get(), &exitCode));
    EXPECT_EQ(exitCode, 0xFFFFFFFFu);

    const Lines expected = Concat({
        FirmwareFolderStagingLines(packageFolder),
        {
            L"DWORD WINAPI Nyx::ServiceHandler : control = 1",
            L"KEL cancelled while running",
            L"RunKel - retval - 0",
            L"RunKel - retval -  0",
            L"Successfully set new upgrade status",
        },
        WatchOfFirmwareFolder(L"01120000", true),
        {
            L"service stop or some error, leave the thread",
            L"ServiceLoop : Service is terminating",
        },
    });
    EXPECT_EQ(ReadLog(), expected);
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(2));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
    ExpectToolStartedIn(packageFolder);
    EXPECT_TRUE(InOrder(ReadEvents(),
                        {
                            Info(MSG_UPGRADING_FIRMWARE, {capsule}),
                            Error(MSG_CALL_FAILED, {L"RunKel", L"KEL cancelled while running."}),
                            Error(MSG_UPGRADE_FAILED, {capsule}),
                            Info(MSG_SERVICE_TERMINATING),
                        }));
}

}  // namespace

// ---- A flash attempt counts only when the tool ran.

TEST_F(ServiceEndToEndTest, NoUserAtFirstCheckKeepsCapsuleDueUntilTheNextChange) {
    SetDword(kSimulationKey, L"StartupDelayMs", kStartupDelayMs);
    SetDword(kSimulationKey, L"ActiveSession", 0);  // nobody logged on yet
    SetSimulatedBios(12, 0);
    const std::wstring capsule = PlaceFirmwareFolderCapsule(L"ABC_01130000.bin");
    InstallServiceOutsideDriverStore();
    StartService();

    ASSERT_TRUE(WaitForEvents({Error(MSG_UPGRADE_FAILED, {capsule})}));
    ASSERT_TRUE(WaitForLog({L"ServiceLoop : flashing tool did not start, attempt not recorded"}))
        << Dump(ReadLog());
    EXPECT_TRUE(test::ReadToolRecord().empty());
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(0));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::nullopt);  // there was none before
    EXPECT_EQ(
        CountEventsStartingWith(ReadEvents(), Error(MSG_CALL_FAILED, {L"GetSessionUserToken"})),
        1u);

    // The user logs on; the next change below the watched folder brings the capsule back.
    SetDword(kSimulationKey, L"ActiveSession", 1);
    Pause(1000);  // the watch is set up right after the failed attempt
    WriteTextFile(FirmwareFolder() + L"\\readme.txt", "changed\n");
    ASSERT_TRUE(WaitForEvents({Info(MSG_UPGRADE_SUCCEEDED, {capsule})}));
    ASSERT_TRUE(WaitForLog({L"Successfully set new upgrade status"}));
    ExpectToolStartedIn(FirmwareFolder() + L"\\pkg1");
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(3));
    EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule));
    EXPECT_EQ(CountEventsStartingWith(ReadEvents(), Info(MSG_UPGRADING_FIRMWARE)), 2u);
}

// ---- A flash that asked for a reboot is judged at the first start after the reboot.

class RebootVerificationTest : public ServiceEndToEndTest {
protected:
    // Runs the service until the tool (exit 3010) has asked for a reboot, then stops it.
    void FlashAskingForReboot() {
        SimulateBios0112WithShortFirstWait();
        test::SetToolOrder("3010");
        capsule_ = PlaceFirmwareFolderCapsule(L"ABC_01130000.bin");
        InstallServiceOutsideDriverStore();
        StartService();
        ASSERT_TRUE(WaitForEvents({Info(MSG_DOWNLOAD_SUCCEEDED, {capsule_})}));
        ASSERT_TRUE(WaitForLog({L"Successfully set new upgrade status"}));
        ASSERT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(1));
        ASSERT_TRUE(StopService());
        test::SetToolOrder("0");
        ::DeleteFileW(ServiceLogPath);
    }

    // The simulated machine's last start: |offsetSeconds| from now.
    static void SetBootTime(long long offsetSeconds) {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER time;
        time.LowPart = now.dwLowDateTime;
        time.HighPart = now.dwHighDateTime;
        const unsigned long long boot = time.QuadPart + offsetSeconds * 10000000LL;
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSimulationKey, 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key, L"BootTime", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&boot),
                         sizeof(boot));
        ::RegCloseKey(key);
    }

    // After start-up: no second attempt, the tool did not run again.
    void ExpectNoSecondAttempt() {
        ASSERT_TRUE(WaitForLog({L"ServiceLoop : startup done", kMonitoringEntered}))
            << Dump(ReadLog());
        Pause(kQuietPeriodMs);
        EXPECT_TRUE(test::ReadToolRecord().empty());
        EXPECT_EQ(CountEventsStartingWith(ReadEvents(), Info(MSG_UPGRADING_FIRMWARE)), 1u);
        EXPECT_EQ(ServiceString(L"LastBinFile"), std::optional<std::wstring>(capsule_));
    }

    std::wstring capsule_;
};

TEST_F(RebootVerificationTest, NewBiosAfterRebootCompletesTheAttempt) {
    FlashAskingForReboot();
    SetSimulatedBios(13, 0);
    SetBootTime(+1);  // the machine started after the key was last written
    StartService();
    ASSERT_TRUE(WaitForEvents({Info(MSG_UPGRADE_SUCCEEDED, {capsule_})}));
    ExpectNoSecondAttempt();
    EXPECT_TRUE(InOrder(ReadLog(),
                        {L"UpgradeStatus Initial read from registry: 1",
                         L"ServiceLoop : last upgrade succeeded", L"ServiceLoop : startup done"}));
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(3));
}

TEST_F(RebootVerificationTest, OldBiosAfterRebootFailsTheAttempt) {
    FlashAskingForReboot();
    SetBootTime(+1);
    StartService();
    ASSERT_TRUE(WaitForEvents({Error(MSG_UPGRADE_FAILED, {capsule_})}));
    ExpectNoSecondAttempt();
    EXPECT_TRUE(
        InOrder(ReadLog(), {L"UpgradeStatus Initial read from registry: 1",
                            L"ServiceLoop : last upgrade failed", L"ServiceLoop : startup done"}));
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(2));
}

TEST_F(RebootVerificationTest, RestartWithoutRebootLeavesTheFlashPending) {
    FlashAskingForReboot();
    SetBootTime(-24 * 3600);  // the machine has not restarted since the flash
    StartService();
    ExpectNoSecondAttempt();
    const EventLines events = ReadEvents();
    EXPECT_EQ(CountEventsStartingWith(events, Info(MSG_UPGRADE_SUCCEEDED)), 0u) << Dump(events);
    EXPECT_EQ(CountEventsStartingWith(events, Error(MSG_UPGRADE_FAILED)), 0u) << Dump(events);
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(1));
}

TEST_F(RebootVerificationTest, StopDuringFirstMinuteKeepsThePendingFlash) {
    FlashAskingForReboot();
    SetDword(kSimulationKey, L"StartupDelayMs", 60000);
    SetBootTime(+1);
    StartService();
    ASSERT_TRUE(WaitForLog({L"start looking for capsule - Wait for 1 minute - "}));
    ASSERT_TRUE(StopService());
    EXPECT_TRUE(InOrder(ReadLog(), {L"UpgradeStatus Initial read from registry: 1",
                                    L"ServiceLoop : Service is terminating"}));
    EXPECT_EQ(ServiceDword(L"UpgradeStatus"), std::optional<DWORD>(1));
}

int main(int argc, char** argv) {
    if (!test::InitWithHostPaths(argc, argv,
                                 "<QvNyxService.exe of the simulation build> <fake tool folder>",
                                 {&g_serviceExecutable, &g_toolFolder})) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
