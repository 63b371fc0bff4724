// Staging a capsule and running the fake flashing tool, in both capsule-source modes, with real
// folders, files, registry values and processes of the test prefix. The test program stands in
// for the service executable: the tool files are staged from its folder.
#include "capsule/firmware_staging.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "capsule/capsule_search.h"
#include "capsule/kel.h"
#include "capsule/tool_names.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_toolFolder;  // where the fake tools are built, as a Windows path

const wchar_t kCapsuleName[] = L"ABC_011200";
const std::string kLogoBytes = "not really a JPEG";

// Stores |value| as UpgradeStatus, or removes the value for nullptr.
void SetUpgradeStatus(const DWORD* value) {
    if (value != nullptr) {
        test::SetMachineValue(test::kServiceKey, L"UpgradeStatus", REG_DWORD, value,
                              sizeof(*value));
    } else {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, L"UpgradeStatus");
    }
}

// -1 when the value is missing.
long long UpgradeStatus() {
    const std::optional<DWORD> value = test::MachineDword(test::kServiceKey, L"UpgradeStatus");
    return value ? static_cast<long long>(*value) : -1;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
    win::UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.IsValid()) << ::GetLastError();
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void CopyTool(const std::wstring& builtName, const std::wstring& destination) {
    ASSERT_TRUE(::CopyFileW((g_toolFolder + L"\\" + builtName).c_str(), destination.c_str(), FALSE))
        << ::GetLastError();
}

// Removes a folder tree the fake tool ran in: Wine may hold the tool's image for a moment after
// the process has ended.
void RemoveToolFolder(const std::wstring& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        test::RemoveTree(path);
        if (!test::FileExists(path)) {
            return;
        }
        ::Sleep(50);
    }
}

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

struct ExpectedEvent {
    DWORD id;
    std::vector<std::wstring> strings;
};

std::vector<ExpectedEvent> Events(const test::CapturingEventReporter& reporter) {
    std::vector<ExpectedEvent> events;
    for (const auto& event : reporter.Events()) {
        events.push_back({event.id, event.strings});
    }
    return events;
}

bool operator==(const ExpectedEvent& a, const ExpectedEvent& b) {
    return a.id == b.id && a.strings == b.strings;
}

void PrintTo(const ExpectedEvent& event, std::ostream* os) {
    *os << std::hex << event.id << std::dec;
    for (const auto& text : event.strings) {
        *os << " [" << test::Utf8(text) << "]";
    }
}

const ExpectedEvent kLogDeleted{
    MSG_TEXT, {L"DeleteOldLogFile", L"Successfully deleted old log file for new capsule update"}};

// The event of a failed copy; |tag| numbers the copy's source and destination in the text.
ExpectedEvent FailedCopy(const std::wstring& tag, const std::wstring& source,
                         const std::wstring& destination, DWORD error) {
    return {MSG_CALL_FAILED,
            {L"CopyFile", L"src" + tag + L"=\"" + source + L"\", dest" + tag + L"=\"" +
                              destination + L"\", error=" + std::to_wstring(error)}};
}

class FirmwareStagingTest : public ::testing::Test {
protected:
    void SetUp() override {
        packageFolder_ = FolderOf(ExecutablePath());
        for (const wchar_t* name : {L"QvKelFlash64.exe", L"QVToastNotificationActivator64.exe",
                                    L"QvKelFlash.exe", L"QVToastNotificationActivator.exe"}) {
            CopyTool(name, packageFolder_ + L"\\" + name);
        }
        WriteFile(packageFolder_ + L"\\" + logoFileName, kLogoBytes);

        ::CreateDirectoryW(firmwareStagingFolder.c_str(), nullptr);
        DeleteStagedFiles();
        BuildFwPathDIRID13();
        storePackage_ = std::wstring(driverStorePath) + L"\\nyxtest_package";
        test::RemoveTree(storePackage_);
        ASSERT_TRUE(::CreateDirectoryW(storePackage_.c_str(), nullptr));
        WriteFile(storePackage_ + L"\\" + kCapsuleName + L".bin", "capsule");
        WriteFile(storePackage_ + L"\\" + kCapsuleName + L".inf", "inf");

        ::CreateDirectoryW(GetFirmwareFolderPath(), nullptr);
        firmwareSub_ = std::wstring(GetFirmwareFolderPath()) + L"\\nyxtest_sub";
        RemoveToolFolder(firmwareSub_);
        ASSERT_TRUE(::CreateDirectoryW(firmwareSub_.c_str(), nullptr));
        WriteFile(firmwareSub_ + L"\\" + kCapsuleName + L".bin", "capsule");

        const DWORD cleared = 0;
        SetUpgradeStatus(&cleared);
        test::SetToolOrder("0");
        // A line of an earlier update, which a staging run must discard.
        ::DeleteFileW(ServiceLogPath);
        LogToFile(L"line of the previous update", ServiceLogPath);
        searchDriverStore = false;
    }

    void TearDown() override {
        test::RemoveTree(storePackage_);
        RemoveToolFolder(firmwareSub_);
        for (const wchar_t* name :
             {L"QvKelFlash64.exe", L"QVToastNotificationActivator64.exe", L"QvKelFlash.exe",
              L"QVToastNotificationActivator.exe", L"QVFirmwareUpdate.jpg"}) {
            ::DeleteFileW((packageFolder_ + L"\\" + name).c_str());
        }
        DeleteStagedFiles();
        ::DeleteFileW(ServiceLogPath);
        searchDriverStore = false;
    }

    std::vector<std::wstring> Log() const { return test::ReadServiceLogMessages(ServiceLogPath); }

    static void DeleteStagedFiles() {
        for (const wchar_t* name :
             {L"QvKelFlash64.exe", L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg",
              L"ABC_011200.bin", L"ABC_011200.inf"}) {
            ::DeleteFileW((firmwareStagingFolder + L"\\" + name).c_str());
        }
    }

    static std::vector<std::wstring> RunKelLines(const std::wstring& folder, bool result) {
        const std::wstring retval = result ? L"1" : L"0";
        return {L"Entered RunKel() methos" + folder, L"Entered RUNKEL - ConfirmCapsule - ",
                L"LaunchWithUi - CreateProcessAsUser succeeded", L"RunKel - retval - " + retval,
                L"RunKel - retval -  " + retval};
    }

    std::wstring packageFolder_;  // the test program's folder: the service executable's
    std::wstring storePackage_;   // a firmware package in the driver store
    std::wstring firmwareSub_;    // a capsule folder below the Windows firmware folder
    test::CapturingEventReporter events_;
    test::FakeSessions sessions_{{{1, WTSActive, WTS_SESSIONSTATE_UNLOCK}}};
};

using test::Concat;

struct OutcomeCase {
    const char* order;
    bool startWithoutValue;  // UpgradeStatus missing on entry: read as 0
    bool result;
    bool rebootRequired;
    long long finalStatus;
    std::vector<ExpectedEvent> toolEvents;
};

const OutcomeCase kOutcomes[] = {
    {"0", false, true, false, 3, {}},
    {"0", true, true, false, 3, {}},
    {"3010", false, true, true, 1, {{MSG_REBOOT_REQUIRED, {}}}},
    {"1", false, false, false, 2, {{MSG_CALL_FAILED, {L"KEL", L"1"}}}},
};

// The RunKel event carries whatever the thread's last error was; only its name is fixed.
void ExpectToolEvents(const std::vector<ExpectedEvent>& events, const OutcomeCase& c) {
    std::vector<ExpectedEvent> expected = {kLogDeleted};
    expected.insert(expected.end(), c.toolEvents.begin(), c.toolEvents.end());
    if (!c.result) {
        ASSERT_EQ(events.size(), expected.size() + 1);
        EXPECT_EQ(events.back().id, DWORD{MSG_CALL_FAILED});
        ASSERT_EQ(events.back().strings.size(), 2u);
        EXPECT_EQ(events.back().strings[0], L"RunKel");
        EXPECT_EQ(std::vector<ExpectedEvent>(events.begin(), events.end() - 1), expected);
    } else {
        EXPECT_EQ(events, expected);
    }
}

// Driver-store mode stages the capsule, its .inf and the three tool files into the staging
// folder and runs the tool there; Windows-folder mode stages the tool files beside the capsule.
TEST_F(FirmwareStagingTest, BothModesStageTheToolFilesAndRecordTheOutcome) {
    struct StagedFile {
        std::wstring source;
        std::wstring staged;
    };
    const struct {
        const char* name;
        bool driverStore;
        std::wstring capsuleFolder;
        std::wstring toolFolder;  // where the tool is staged and started
        std::vector<StagedFile> files;
        std::wstring absent;  // a file the mode must not stage; empty for none
        std::vector<std::wstring> stagingLines;
        bool logsToolResult;  // "KEL is running" or "RunKel failed " after the tool's lines
    } modes[] = {
        {"driver store",
         true,
         storePackage_,
         firmwareStagingFolder,
         {
             {storePackage_ + L"\\ABC_011200.bin", firmwareStagingFolder + L"\\ABC_011200.bin"},
             {storePackage_ + L"\\ABC_011200.inf", firmwareStagingFolder + L"\\ABC_011200.inf"},
             {packageFolder_ + L"\\QvKelFlash64.exe",
              firmwareStagingFolder + L"\\QvKelFlash64.exe"},
             {packageFolder_ + L"\\QVToastNotificationActivator64.exe",
              firmwareStagingFolder + L"\\QVToastNotificationActivator64.exe"},
             {packageFolder_ + L"\\QVFirmwareUpdate.jpg",
              firmwareStagingFolder + L"\\QVFirmwareUpdate.jpg"},
         },
         L"",
         {L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
          L"Source directory (DIRID13 NYX service location): ",
          L"Successfully copied .bin file to DIRID11 ",
          L"Successfully copied .inf file to DIRID11 ",
          L"Successfully copied KEL executable DIRID11 ",
          L"Successfully copied Toast Activator DIRID11 ", L"Successfully copied QV Logo DIRID11 "},
         true},
        // The test program is a 64-bit executable: the "64" names are staged and run.
        {"firmware folder",
         false,
         firmwareSub_,
         firmwareSub_,
         {
             {packageFolder_ + L"\\QvKelFlash64.exe", firmwareSub_ + L"\\QvKelFlash64.exe"},
             {packageFolder_ + L"\\QVToastNotificationActivator64.exe",
              firmwareSub_ + L"\\QVToastNotificationActivator64.exe"},
             {packageFolder_ + L"\\QVFirmwareUpdate.jpg", firmwareSub_ + L"\\QVFirmwareUpdate.jpg"},
         },
         firmwareSub_ + L"\\QvKelFlash.exe",
         {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " +
              firmwareSub_,
          L"srcPath: " + ExecutablePath()},
         false},
    };
    for (const auto& mode : modes) {
        const std::wstring binaryName = mode.capsuleFolder + L"\\" + kCapsuleName + L".bin";
        for (const OutcomeCase& c : kOutcomes) {
            SCOPED_TRACE(std::string(mode.name) + " " + c.order +
                         (c.startWithoutValue ? " without value" : ""));
            SetUp();
            const DWORD cleared = 0;
            SetUpgradeStatus(c.startWithoutValue ? nullptr : &cleared);
            events_.Clear();
            test::SetToolOrder(c.order);
            searchDriverStore = mode.driverStore;
            bool rebootRequired = !c.rebootRequired;

            EXPECT_EQ(Kel::UpgradeFirmware(binaryName, nullptr, rebootRequired), c.result);
            EXPECT_EQ(rebootRequired, c.rebootRequired);
            EXPECT_EQ(UpgradeStatus(), c.finalStatus);

            const auto record = test::ReadToolRecord();
            ASSERT_FALSE(record.empty());
            EXPECT_EQ(record.at("command_line"),
                      test::Utf8(mode.toolFolder + L"\\QvKelFlash64.exe -s -b"));
            EXPECT_EQ(record.at("working_folder"), test::Utf8(mode.toolFolder));
            EXPECT_EQ(record.at("upgrade_status"), "1");  // written before the tool starts

            for (const auto& file : mode.files) {
                const std::string staged = test::ReadFileBytes(file.staged);
                EXPECT_FALSE(staged.empty()) << test::Utf8(file.staged);
                EXPECT_EQ(staged, test::ReadFileBytes(file.source)) << test::Utf8(file.staged);
            }
            if (!mode.absent.empty()) {
                EXPECT_FALSE(test::FileExists(mode.absent));
            }

            std::vector<std::wstring> toolResult;
            if (mode.logsToolResult) {
                toolResult.push_back(c.result ? L"KEL is running" : L"RunKel failed ");
            }
            EXPECT_EQ(Log(), Concat({{L"Starting new capsule update - old log file deleted"},
                                     mode.stagingLines,
                                     {L"BIOS needs upgrade"},
                                     RunKelLines(mode.toolFolder, c.result),
                                     toolResult,
                                     {L"Successfully set new upgrade status"}}));
            ExpectToolEvents(Events(events_), c);
        }
    }
}

TEST_F(FirmwareStagingTest, StatusOtherThanZeroOnEntryTouchesNothing) {
    const struct {
        DWORD status;
        bool result;
    } cases[] = {{1, true}, {2, false}, {3, true}, {7, false}};
    for (const bool driverStore : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.status) + (driverStore ? " driver store" : " firmware"));
            SetUp();
            SetUpgradeStatus(&c.status);
            events_.Clear();
            searchDriverStore = driverStore;
            const std::wstring binaryName =
                (driverStore ? storePackage_ : firmwareSub_) + L"\\" + kCapsuleName + L".bin";
            bool rebootRequired = true;

            EXPECT_EQ(Kel::UpgradeFirmware(binaryName, nullptr, rebootRequired), c.result);
            EXPECT_TRUE(rebootRequired);  // left as the caller set it
            EXPECT_EQ(UpgradeStatus(), c.status);
            EXPECT_EQ(Log(), (std::vector<std::wstring>{L"line of the previous update",
                                                        L"Entered UpgradeFirmware() - ",
                                                        L"BIOS already upgraded"}));
            EXPECT_TRUE(Events(events_).empty());
            EXPECT_TRUE(test::ReadToolRecord().empty());
            EXPECT_FALSE(test::FileExists(firmwareStagingFolder + L"\\ABC_011200.bin"));
            EXPECT_FALSE(test::FileExists(firmwareSub_ + L"\\QvKelFlash64.exe"));
        }
    }
}

TEST_F(FirmwareStagingTest, FailedInfCopyTriesTheRestAndDoesNotLaunch) {
    ::DeleteFileW((storePackage_ + L"\\ABC_011200.inf").c_str());
    searchDriverStore = true;
    bool rebootRequired = true;
    const std::wstring binaryName = storePackage_ + L"\\ABC_011200.bin";

    EXPECT_FALSE(Kel::UpgradeFirmware(binaryName, nullptr, rebootRequired));
    EXPECT_TRUE(rebootRequired);
    EXPECT_EQ(UpgradeStatus(), 0);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    for (const wchar_t* name : {L"ABC_011200.bin", L"QvKelFlash64.exe",
                                L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg"}) {
        EXPECT_TRUE(test::FileExists(firmwareStagingFolder + L"\\" + name)) << test::Utf8(name);
    }
    EXPECT_EQ(Log(), (std::vector<std::wstring>{
                         L"Starting new capsule update - old log file deleted",
                         L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
                         L"Source directory (DIRID13 NYX service location): ",
                         L"Successfully copied .bin file to DIRID11 ",
                         L"Copy failed for .inf file, error=2",
                         L"Successfully copied KEL executable DIRID11 ",
                         L"Successfully copied Toast Activator DIRID11 ",
                         L"Successfully copied QV Logo DIRID11 ", L"BIOS already upgraded"}));
    EXPECT_EQ(Events(events_),
              (std::vector<ExpectedEvent>{
                  kLogDeleted, FailedCopy(L"", storePackage_ + L"\\ABC_011200.inf",
                                          firmwareStagingFolder + L"\\ABC_011200.inf", 2)}));
}

TEST_F(FirmwareStagingTest, FailedActivatorCopyInFirmwareFolderDoesNotLaunch) {
    ::DeleteFileW((packageFolder_ + L"\\QVToastNotificationActivator64.exe").c_str());
    bool rebootRequired = false;
    EXPECT_FALSE(Kel::UpgradeFirmware(firmwareSub_ + L"\\ABC_011200.bin", nullptr, rebootRequired));
    EXPECT_EQ(UpgradeStatus(), 0);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    EXPECT_TRUE(test::FileExists(firmwareSub_ + L"\\QvKelFlash64.exe"));
    EXPECT_TRUE(test::FileExists(firmwareSub_ + L"\\QVFirmwareUpdate.jpg"));
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), L"BIOS already upgraded");
    EXPECT_EQ(
        Events(events_),
        (std::vector<ExpectedEvent>{
            kLogDeleted, FailedCopy(L"2", packageFolder_ + L"\\QVToastNotificationActivator64.exe",
                                    firmwareSub_ + L"\\QVToastNotificationActivator64.exe", 2)}));
}

TEST_F(FirmwareStagingTest, MissingLogoIsReportedAndTheToolStillRuns) {
    ::DeleteFileW((packageFolder_ + L"\\QVFirmwareUpdate.jpg").c_str());
    for (const bool driverStore : {true, false}) {
        SCOPED_TRACE(driverStore ? "driver store" : "firmware folder");
        const DWORD cleared = 0;
        SetUpgradeStatus(&cleared);
        test::SetToolOrder("0");
        events_.Clear();
        searchDriverStore = driverStore;
        const std::wstring capsuleFolder = driverStore ? storePackage_ : firmwareSub_;
        const std::wstring destinationFolder = driverStore ? firmwareStagingFolder : firmwareSub_;
        bool rebootRequired = false;

        EXPECT_TRUE(
            Kel::UpgradeFirmware(capsuleFolder + L"\\ABC_011200.bin", nullptr, rebootRequired));
        EXPECT_EQ(UpgradeStatus(), 3);
        EXPECT_FALSE(test::ReadToolRecord().empty());

        const std::vector<ExpectedEvent> events = Events(events_);
        ASSERT_EQ(events.size(), 2u);  // the deleted log, then the logo
        EXPECT_EQ(events[1],
                  FailedCopy(driverStore ? L"" : L"3", packageFolder_ + L"\\QVFirmwareUpdate.jpg",
                             destinationFolder + L"\\QVFirmwareUpdate.jpg", 2));
        const auto log = Log();
        const bool logoLine =
            std::find(log.begin(), log.end(), L"Copy failed for QV Logo, error=2") != log.end();
        EXPECT_EQ(logoLine, driverStore);  // the firmware-folder mode logs no copy lines
    }
}

TEST_F(FirmwareStagingTest, CapsuleInTheSearchRootRunsTheToolAlreadyThere) {
    const std::wstring firmwareFolder = GetFirmwareFolderPath();
    CopyTool(L"QvKelFlash64.exe", firmwareStagingFolder + L"\\QvKelFlash64.exe");
    CopyTool(L"QvKelFlash.exe", firmwareFolder + L"\\QvKelFlash.exe");
    const struct {
        bool driverStore;
        std::wstring binaryName;
        std::wstring toolFolder;
        std::wstring toolPath;
        std::vector<std::wstring> modeLines;
    } cases[] = {
        {true,
         std::wstring(driverStorePath) + L"\\ABC_011200.bin",
         firmwareStagingFolder,
         firmwareStagingFolder + L"\\QvKelFlash64.exe",
         {L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): "}},
        {false,
         firmwareFolder + L"\\ABC_011200.bin",
         firmwareFolder,
         firmwareFolder + L"\\QvKelFlash.exe",
         {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " +
          firmwareFolder}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driverStore ? "driver store" : "firmware folder");
        ::DeleteFileW(ServiceLogPath);
        const DWORD cleared = 0;
        SetUpgradeStatus(&cleared);
        test::SetToolOrder("0");
        searchDriverStore = c.driverStore;
        bool rebootRequired = false;

        EXPECT_TRUE(Kel::UpgradeFirmware(c.binaryName, nullptr, rebootRequired));
        EXPECT_EQ(UpgradeStatus(), 3);
        const auto record = test::ReadToolRecord();
        ASSERT_FALSE(record.empty());
        EXPECT_EQ(record.at("command_line"), test::Utf8(c.toolPath + L" -s -b"));
        EXPECT_FALSE(test::FileExists(firmwareStagingFolder + L"\\ABC_011200.bin"));
        EXPECT_FALSE(test::FileExists(firmwareStagingFolder + L"\\QVFirmwareUpdate.jpg"));
        std::vector<std::wstring> tail = {L"Successfully set new upgrade status"};
        if (c.driverStore) {
            tail.insert(tail.begin(), L"KEL is running");
        }
        EXPECT_EQ(Log(), Concat({{L"Starting new capsule update - old log file deleted"},
                                 c.modeLines,
                                 {L"BIOS needs upgrade"},
                                 RunKelLines(c.toolFolder, true),
                                 tail}));
    }
    ::DeleteFileW((firmwareFolder + L"\\QvKelFlash.exe").c_str());
}

// Only a tool that really started makes an attempt: every failure before its process exists
// leaves UpgradeStatus 0 (the capsule stays due), one after it leaves 2 (no retry this run).
TEST_F(FirmwareStagingTest, AttemptIsRecordedOnlyWhenTheToolStarted) {
    const std::wstring firmwareFolder = GetFirmwareFolderPath();
    const struct {
        const char* name;
        bool driverStore;
        bool noSession;
        bool tokenFails;
        bool toolMissing;  // the capsule lies in the firmware folder, which has no tool
        const char* order;
        bool cancel;
        long long finalStatus;
    } cases[] = {
        {"no active session", true, true, false, false, "0", false, 0},
        {"no user token", false, false, true, false, "0", false, 0},
        {"process not created", false, false, false, true, "0", false, 0},
        {"tool failed", true, false, false, false, "1", false, 2},
        {"tool cancelled", false, false, false, false, "sleep", true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        events_.Clear();
        test::SetToolOrder(c.order);
        searchDriverStore = c.driverStore;
        sessions_.enumerateFails = c.noSession;
        sessions_.tokenFails = c.tokenFails;
        std::wstring binaryName =
            (c.driverStore ? storePackage_ : firmwareSub_) + L"\\" + kCapsuleName + L".bin";
        if (c.toolMissing) {
            binaryName = firmwareFolder + L"\\" + kCapsuleName + L".bin";
            ::DeleteFileW((firmwareFolder + L"\\QvKelFlash.exe").c_str());
        }
        win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, c.cancel, nullptr));
        bool rebootRequired = false;

        EXPECT_FALSE(Kel::UpgradeFirmware(binaryName, stop.Get(), rebootRequired));
        EXPECT_EQ(UpgradeStatus(), c.finalStatus);
        if (!c.cancel) {  // a tool cancelled at once may end before it writes its record
            EXPECT_EQ(test::ReadToolRecord().empty(), c.finalStatus == 0);
        }
        const auto recorded = Events(events_);
        ASSERT_FALSE(recorded.empty());
        EXPECT_EQ(recorded.back().strings.at(0), L"RunKel");
        EXPECT_EQ(Log().back(), L"Successfully set new upgrade status");
    }
    sessions_.enumerateFails = false;
    sessions_.tokenFails = false;
}

// The search returns a capsule lying directly in the driver-store root with a doubled
// separator: that folder part is not the root's text, so the capsule is staged.
TEST_F(FirmwareStagingTest, DoubledSeparatorAfterStoreRootIsStaged) {
    const std::wstring capsule = std::wstring(driverStorePath) + L"\\ABC_011200.bin";
    WriteFile(capsule, "root capsule");
    WriteFile(std::wstring(driverStorePath) + L"\\ABC_011200.inf", "root inf");
    searchDriverStore = true;
    bool rebootRequired = false;
    EXPECT_TRUE(Kel::UpgradeFirmware(std::wstring(driverStorePath) + L"\\\\ABC_011200.bin", nullptr,
                                     rebootRequired));
    EXPECT_EQ(test::ReadFileBytes(firmwareStagingFolder + L"\\ABC_011200.bin"), "root capsule");
    EXPECT_EQ(test::ReadFileBytes(firmwareStagingFolder + L"\\ABC_011200.inf"), "root inf");
    EXPECT_EQ(UpgradeStatus(), 3);
    ::DeleteFileW(capsule.c_str());
    ::DeleteFileW((std::wstring(driverStorePath) + L"\\ABC_011200.inf").c_str());
}

TEST_F(FirmwareStagingTest, CapsuleWithoutFolderIsRejectedInBothModes) {
    for (const bool driverStore : {true, false}) {
        SCOPED_TRACE(driverStore ? "driver store" : "firmware folder");
        ::DeleteFileW(ServiceLogPath);
        events_.Clear();
        searchDriverStore = driverStore;
        bool rebootRequired = true;

        EXPECT_FALSE(Kel::UpgradeFirmware(L"ABC_011200.bin", nullptr, rebootRequired));
        EXPECT_TRUE(rebootRequired);
        EXPECT_EQ(UpgradeStatus(), 0);
        EXPECT_TRUE(test::ReadToolRecord().empty());
        EXPECT_EQ(Log(),
                  (std::vector<std::wstring>{L"Starting new capsule update - old log file deleted",
                                             L"BIOS already upgraded"}));
        const std::vector<ExpectedEvent> events = Events(events_);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(),
                  (ExpectedEvent{MSG_CALL_FAILED,
                                 {L"UpgradeFirmware", L"Invalid binaryName: \"ABC_011200.bin\""}}));
    }
}

// A destination that would not fit its 260-character buffer fails its copy with error 206
// instead of being cut short.
TEST_F(FirmwareStagingTest, DestinationTooLongForItsBufferFailsThatCopy) {
    // 230 characters of folder: the tool's destination fits, the activator's does not.
    const std::wstring deep = firmwareSub_ + L"\\" + std::wstring(229 - firmwareSub_.size(), L'd');
    ASSERT_EQ(deep.size(), 230u);
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr)) << ::GetLastError();
    const std::wstring binaryName = deep + L"\\ABC_011200.bin";
    bool rebootRequired = false;

    EXPECT_FALSE(Kel::UpgradeFirmware(binaryName, nullptr, rebootRequired));
    EXPECT_EQ(UpgradeStatus(), 0);
    EXPECT_TRUE(test::ReadToolRecord().empty());
    EXPECT_TRUE(test::FileExists(deep + L"\\QvKelFlash64.exe"));
    const std::wstring destination = deep + L"\\QVToastNotificationActivator64.exe";
    ASSERT_GE(destination.size(), 260u);
    EXPECT_EQ(
        Events(events_),
        (std::vector<ExpectedEvent>{
            kLogDeleted, FailedCopy(L"2", packageFolder_ + L"\\QVToastNotificationActivator64.exe",
                                    destination, 206)}));
}

TEST(ChooseToolNamesTest, WidthOfTheExecutableChoosesTheNames) {
    const std::wstring plain[2] = {toolBaseName, toastBaseName};
    const std::wstring wide[2] = {toolBaseName + L"64", toastBaseName + L"64"};
    test::TempFolder folder;
    const std::wstring textFile = folder / L"not_a_program.exe";
    WriteFile(textFile, "plain text, no PE header");
    const struct {
        std::wstring path;
        const std::wstring* names;
    } cases[] = {
        {g_toolFolder + L"\\QvKelFlash32.exe", plain},
        {g_toolFolder + L"\\QvKelFlash64.exe", wide},
        {ExecutablePath(), wide},
        {folder / L"missing.exe", wide},
        {textFile, wide},
    };
    for (int round = 0; round < 2; ++round) {  // a second run chooses the same names
        for (const auto& c : cases) {
            SCOPED_TRACE(test::Utf8(c.path));
            const FlashToolNames names = ChooseToolNames(c.path);
            EXPECT_EQ(names.tool, c.names[0]);
            EXPECT_EQ(names.toast, c.names[1]);
        }
    }
    EXPECT_EQ(toolBaseName, L"QvKelFlash");
    EXPECT_EQ(toastBaseName, L"QVToastNotificationActivator");
}

}  // namespace

int main(int argc, char** argv) {
    if (!test::InitWithHostPaths(argc, argv, "<folder of the fake flashing tool on the host>",
                                 {&g_toolFolder})) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
