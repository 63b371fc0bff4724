// The update engine in the test prefix, with its own raw SMBIOS table, first wait and boot time.
#include <gtest/gtest.h>
#include <windows.h>
#include <process.h>
#include <new>
#include <algorithm>
#include <thread>
#include <tuple>
#include "capsule/capsule_search.h"
#include "engine/nyx.h"
#include "engine/service_loop.h"
#include "platform/smbios_raw_source.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "records/service_values.h"
#include "platform/smbios_builders.h"
#include "support/test_support.h"

using smbios_test::BiosInformation;
using smbios_test::Bytes;
using Lines = std::vector<std::wstring>;
Bytes g_smbios;
std::wstring g_bootIdentity;
bool g_faultAtFirstWait = false;
Bytes QVBiosUpdate::ReadRawSmbiosData() {
    return g_smbios;
}
DWORD ServiceStartupDelayMs() {
    return g_faultAtFirstWait ? throw std::bad_alloc() : DWORD{0};
}
std::wstring ReadBootIdentity() {
    return g_bootIdentity;
}

namespace {
// The service's events, without those of the logging framework (its level as event ID) and, unless
// |decisions|, those of the upgrade decision.
using Event = std::pair<DWORD, Lines>;
std::vector<Event> Events(const test::CapturingEventReporter& reporter, bool decisions = true) {
    std::vector<Event> events;
    for (const test::RecordedEvent& event : reporter.Events()) {
        if (event.id > 0xFFFF && (decisions || event.id != MSG_TEXT)) {
            events.emplace_back(event.id, event.strings);
        }
    }
    return events;
}
// Expects the service log's lines that are among |lines| (all of them if |only|) to be |lines|.
void ExpectLogged(const Lines& lines, bool only = false) {
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath(), only ? nullptr : &lines), lines);
}
const wchar_t* const kEnd = L"ServiceLoop : Service is terminating";

// Each test puts back what the engine shares (the search's folder choice, the seams above, the
// stop event the loop reads) and removes the service's registry key the engine may write.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { searchDriverStore = false; }
    void TearDown() override {
        searchDriverStore = savedSearchDriverStore_;
        Nyx::m_serviceStopEvent = savedStopEvent_;
        g_smbios.clear();
        g_bootIdentity.clear();
        g_faultAtFirstWait = false;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::kServiceKey);
    }

private:
    const bool savedSearchDriverStore_ = searchDriverStore;
    const HANDLE savedStopEvent_ = Nyx::m_serviceStopEvent;
};
using UpgradeDecisionTest = EngineTest;
using StartDirectoryMonitoringTest = EngineTest;
using ServiceLoopTest = EngineTest;

// The capsule is compared with the running BIOS first, then with the last attempt; a failed
// capsule found again may be retried (by its name, wherever it lies), another of its version not.
TEST_F(UpgradeDecisionTest, CapsuleMustBeNewerThanTheBiosAndTheLastAttempt) {
    const std::wstring folder = GetFirmwareFolderPath(), fn = L"bool Nyx::IsUpgradeNeeded : ";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const Bytes bios = BiosInformation("ABC Ver. 01.02.03", 12, 0);  // 01.12.00: 010c0000
    const Event newer = {MSG_TEXT, {L"BIOS version = 010c0000 File version = 010d0000"}};
    const Event notNewerThanAttempt = {
        MSG_TEXT,
        {L"BIOS file = 010d0000 (01.13.00.00) not newer than last attempted = 010d0000 "
         L"(01.13.00.00)"}};
    const std::wstring found13 = fn + L"binaryName:  " + folder + L"\\\\ABC_01130000.bin";
    const std::wstring greater = fn + L"fileversion is greater then bios version";
    const struct {
        const char* label;
        Bytes smbios;
        const wchar_t* capsule;
        FirmwareVersion lastAttempted;
        const wchar_t* retried;  // the failed capsule on record, if any
        bool due;
        Lines lines;  // between "Retreive SMBios info " and the result
        std::vector<Event> events;
    } cases[] = {
        // clang-format off
        {"BIOS unreadable", {}, L"ABC_01130000.bin", 0, nullptr, false,
         {fn + L"failed to get BIOS information"},
         {{MSG_TEXT, {L"IsUpgradeNeeded", L"Failed to get BIOS information."}}}},
        {"no capsule of the family", bios, L"XYZ_01130000.bin", 0, nullptr, false,
         {fn + L"Unable to find firmware file"}, {}},
        {"capsule not newer than the BIOS", bios, L"ABC_01120000.bin", 0, nullptr, false,
         {fn + L"binaryName:  " + folder + L"\\\\ABC_01120000.bin"},
         {{MSG_TEXT, {L"BIOS version = 010c0000 File version = 010c0000"}},
          {MSG_TEXT, {L"BIOS file = 010c0000 (01.12.00.00) not newer than BIOS = 010c0000 "
                      L"(01.12.00.00)"}}}},
        {"newer than BIOS and attempt", bios, L"ABC_01130000.bin", 0x010cffff, nullptr, true,
         {found13, greater}, {newer}},
        {"already attempted", bios, L"ABC_01130000.bin", 0x010d0000, nullptr, false,
         {found13, greater}, {newer, notNewerThanAttempt}},
        {"another capsule failed", bios, L"ABC_01130000.bin", 0x010d0000, L"ABC_01130000.binx",
         false, {found13, greater}, {newer, notNewerThanAttempt}},
        {"failed capsule retried from another folder", bios, L"ABC_01130000.bin", 0x010d0000,
         L"C:\\Elsewhere\\abc_01130000.BIN", true,
         {found13, greater, fn + L"last attempt failed, capsule retried"}, {newer}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring path = folder + L"\\\\" + c.capsule;  // as the search gives it back
        const win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 7, nullptr,
                                                       CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                                       nullptr));
        const test::CapturingEventReporter reporter;
        g_smbios = c.smbios;
        ::DeleteFileW(ServiceLogPath().c_str());
        wchar_t found[MAX_PATH] = L"untouched";
        EXPECT_EQ(Nyx::IsUpgradeNeeded(found, c.lastAttempted, c.retried), c.due);
        if (c.due) {
            EXPECT_EQ(found, path);
        }
        Lines lines = {fn + L"Retreive SMBios info "};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        lines.push_back(std::wstring(L"IsUpgradeNeeded result: retval= ") + (c.due ? L"1" : L"0") +
                        L" (1 = upgrade needed, 0 = no upgrade needed)");
        ExpectLogged(lines);
        EXPECT_EQ(Events(reporter), c.events);
    }
}

// directory_watch_probe.exe watches a folder in a process of its own, as a failed watch ends it.
TEST_F(StartDirectoryMonitoringTest, FolderThatCannotBeWatchedEndsTheProcessWithTheError) {
    const test::TempFolder temp;
    const std::wstring missing = temp / L"missing";
    ::FindFirstChangeNotificationW(missing.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD error = ::GetLastError();
    for (const bool exists : {true, false}) {
        ::DeleteFileW(ServiceLogPath().c_str());
        const intptr_t code = ::_wspawnl(_P_WAIT, L"directory_watch_probe.exe", L"probe",
                                         (exists ? temp.Path() : missing).c_str(), nullptr);
        EXPECT_EQ(DWORD(code), exists ? 0 : error);
        Lines lines = {
            L"HANDLE Nyx::StartDirectoryMonitoring : StartDirectoryMonitoring entered ",
            L"FindFirstChangeNotification failed, GetLastError() = " + std::to_wstring(error)};
        lines.resize(exists ? 1 : 2);
        ExpectLogged(lines, true);
    }
}

// The loop ends on stop (first minute, or once it is idle) or an unreadable BIOS. The first start
// after an attempt's reboot judges it by the running BIOS, whatever the tool reported; until that
// reboot a flash handed over or reported done holds every new attempt. An exception ends the loop
// the normal way, with the code the host reports on STOPPED.
TEST_F(ServiceLoopTest, JudgesEveryAttemptByTheBiosAfterItsReboot) {
    const wchar_t *kEntered = L"void Nyx::ServiceLoop entered",
                  *kWait = L"start looking for capsule - Wait for 1 minute - ",
                  *kDone = L"ServiceLoop : startup done",
                  *kSucceeded = L"ServiceLoop : last upgrade succeeded",
                  *kFailed = L"ServiceLoop : last upgrade failed",
                  *kHeld = L"ServiceLoop : a flash waits for its reboot, no capsule attempted",
                  *kIdle = L"service stop or some error, leave the thread";
    const std::wstring kLast = L"lastinstalledversion from the registry - ";
    const wchar_t *k14 = L"C:ABC_01140000.bin",
                  *kThere = L"C:\\windows\\Firmware\\ABC_01140000.bin",
                  *kCheck = L"Entered do while loop  - ";
    enum Stop { kAtOnce, kWhenIdle };
    using Dword = std::optional<DWORD>;
    const struct {
        const char* label;
        Dword status;
        const wchar_t* lastBinFile;
        const wchar_t* attemptBoot;  // null: written by an earlier version
        Dword judged;
        bool biosReadable;  // BIOS 01.13.00
        Stop stop;
        Lines lines;
        DWORD event;  // 0: none but start and end
        Dword statusAfter;
        Dword judgedAfter;
    } cases[] = {
        // clang-format off
        {"fresh install: 0 at once", {}, nullptr, nullptr, {}, true, kAtOnce,
         {kEntered, L"UpgradeStatus Initial read from registry: 2", kWait, kEnd}, 0, 0, {}},
        {"unreadable BIOS", 3, nullptr, nullptr, {}, false, kWhenIdle,
         {L"ServiceLoop entered : ", L"Directory already exists: C:\\windows\\system32\\Firmware",
          L"Directory does not exist: C:\\windows\\Firmware. Creating..",
          L"Directory created or already exists: C:\\windows\\Firmware", L"BIOS Info not available",
          L"ServiceLoop : Startup aborted", kEnd},
         MSG_BIOS_INFO_UNREADABLE, 3, {}},
        {"handed over, rebooted into the capsule", 1, L"C:\\fw/pkg\\ABC_011300.bin", L"boot 0", {},
         true, kWhenIdle,
         {kLast + L"01130025", kSucceeded, kDone, kCheck,
          L"ServiceLoop : monitoring DriverStore FileRepository",
          L"Installed BIOS version :  01130000", L"BIOS Family: ABC",
          L"Enntered DIRID10 folder to search for new capsule ", kIdle, kEnd},
         MSG_UPGRADE_SUCCEEDED, 3, 1},
        {"reported done, rebooted into the old BIOS", 3, k14, L"boot 0", {}, true, kWhenIdle,
         {kLast + L"01140000", kFailed, kDone, kIdle, kEnd}, MSG_UPGRADE_FAILED, 2, 1},
        {"a newer BIOS ends the attempt", 1, L"C:\\fw\\ABC_01120000.bin", L"boot 0", {}, true,
         kWhenIdle,
         {kSucceeded, kDone, kIdle, kEnd}, MSG_UPGRADE_SUCCEEDED, 3, 1},
        {"handed over, same boot: held", 1, k14, L"boot 1", {}, true, kWhenIdle,
         {kLast + L"01140000", kDone, kHeld, kEnd}, 0, 1, {}},
        {"earlier version's flash, key written this boot: held", 1, k14, nullptr, {}, true,
         kWhenIdle, {kDone, kHeld, kEnd}, 0, 1, {}},
        {"three launches: no retry", 2, kThere, L"boot 1", {}, true, kWhenIdle,
         {kDone, kCheck, L"IsUpgradeneeded :  new capsule found",
          L"IsUpgradeneeded :  not retrying capsule since last attempt failed ", kIdle, kEnd},
         0, 2, {}},
        {"no record", 0, nullptr, nullptr, {}, true, kWhenIdle,
         {L"unable to read LastBinFile from registry with Error code: 2", kIdle, kEnd}, 0, 0, {}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::kServiceKey);
        if (c.status)
            WriteServiceDword(kUpgradeStatusValueName, *c.status);
        if (c.lastBinFile)
            WriteServiceString(kLastBinFileValueName, c.lastBinFile);
        if (c.attemptBoot)
            WriteServiceString(kAttemptBootValueName, c.attemptBoot);
        if (c.judged)
            WriteServiceDword(kAttemptJudgedValueName, *c.judged);
        g_bootIdentity = L"boot 1";
        g_smbios = c.biosReadable ? BiosInformation("ABC Ver. 01.02.03", 13, 0) : Bytes{};
        WriteServiceDword(kAttemptCountValueName, 3);
        test::RemoveTree(L"C:\\Windows\\Firmware");  // created again at the start
        if (c.lastBinFile == kThere) {               // the capsule on record is there again
            ::CreateDirectoryW(L"C:\\Windows\\Firmware", nullptr);
            ::CloseHandle(::CreateFileW(kThere, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0));
        }
        ::DeleteFileW(ServiceLogPath().c_str());
        const test::CapturingEventReporter reporter;
        const win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, c.stop == kAtOnce, nullptr));
        Nyx::m_serviceStopEvent = stop.Get();
        ServiceContext context{nullptr, stop.Get(), INVALID_HANDLE_VALUE, 0};
        std::thread loop(Nyx::ServiceLoop, &context);
        if (c.stop == kWhenIdle && c.biosReadable) {  // until the loop watches, or is held
            EXPECT_TRUE(test::WaitUntil([&] {
                const Lines logged = test::ReadServiceLogMessages(ServiceLogPath());
                return context.changeHandle != INVALID_HANDLE_VALUE ||
                       std::count(logged.begin(), logged.end(), kHeld) != 0;
            }));
            ::SetEvent(stop.Get());
        }
        loop.join();
        EXPECT_EQ(context.changeHandle, INVALID_HANDLE_VALUE);
        ExpectLogged(c.lines, c.stop == kAtOnce);
        std::vector<Event> expected = {{MSG_SERVICE_STARTING, {}}};
        if (c.event != 0) {
            expected.push_back(
                {c.event, c.event == MSG_BIOS_INFO_UNREADABLE ? Lines{} : Lines{c.lastBinFile}});
        }
        expected.push_back({MSG_SERVICE_TERMINATING, {}});
        EXPECT_EQ(Events(reporter, false), expected);
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"UpgradeStatus"), c.statusAfter);
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"AttemptJudged"), c.judgedAfter);
    }
    ::DeleteFileW(ServiceLogPath().c_str());
    const test::CapturingEventReporter reporter;
    ServiceContext context{nullptr, nullptr, INVALID_HANDLE_VALUE, 0};
    g_faultAtFirstWait = true;
    EXPECT_EQ(Nyx::ServiceLoop(&context), DWORD(ERROR_EXCEPTION_IN_SERVICE));
    ExpectLogged({L"ServiceLoop : ended by an unexpected exception", kEnd});
    EXPECT_EQ(Events(reporter).back(), (Event{MSG_SERVICE_TERMINATING, {}}));
}
}  // namespace
