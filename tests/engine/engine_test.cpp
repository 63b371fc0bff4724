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
#include "platform/smbios_builders.h"
#include "support/test_support.h"

using smbios_test::BiosInformation;
using smbios_test::Bytes;
using Lines = std::vector<std::wstring>;
Bytes g_smbios;
FILETIME g_bootTime{};
bool g_faultAtFirstWait = false;
Bytes QVBiosUpdate::ReadRawSmbiosData() {
    return g_smbios;
}
DWORD ServiceStartupDelayMs() {
    return g_faultAtFirstWait ? throw std::bad_alloc() : DWORD{0};
}
FILETIME ReadBootTime() {
    return g_bootTime;
}

namespace {
// The service's events, without those of the logging framework (its level as event ID).
using Event = std::pair<DWORD, Lines>;
std::vector<Event> Events(const test::CapturingEventReporter& reporter) {
    std::vector<Event> events;
    for (const test::RecordedEvent& event : reporter.Events()) {
        if (event.id > 0xFFFF) {
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
        g_bootTime = FILETIME{};
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
// capsule found again may be retried (letter case ignored), another of its version may not.
TEST_F(UpgradeDecisionTest, CapsuleMustBeNewerThanTheBiosAndTheLastAttempt) {
    const std::wstring folder = GetFirmwareFolderPath(),
                       versions = L"BIOS version = 010c0000 File version = ",
                       fn = L"bool Nyx::IsUpgradeNeeded : ";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const Bytes bios = BiosInformation("ABC Ver. 01.02.03", 12, 0);  // 01.12.00: 010c0000
    // clang-format off
    const Event newer = {MSG_TEXT, {versions + L"010d0000"}},
        notNewer = {MSG_TEXT, {L"BIOS file = 010d0000 (01.13.00.00) not newer than last attempted = 010d0000 (01.13.00.00)"}};
    const std::tuple<Bytes, const wchar_t*, FirmwareVersion, const wchar_t*, int, const wchar_t*, std::vector<Event>> cases[] = {
        // SMBIOS, capsule, last attempted, retried capsule, result (2: false, newer than the BIOS; 3: true, retried), failure line, events
        {{}, L"ABC_01130000.bin", 0, nullptr, 0, L"failed to get BIOS information", {{MSG_TEXT, {L"IsUpgradeNeeded", L"Failed to get BIOS information."}}}},
        {bios, L"XYZ_01130000.bin", 0, nullptr, 0, L"Unable to find firmware file", {}},
        {bios, L"ABC_01120000.bin", 0, nullptr, 0, nullptr, {{MSG_TEXT, {versions + L"010c0000"}}, {MSG_TEXT, {L"BIOS file = 010c0000 (01.12.00.00) not newer than BIOS = 010c0000 (01.12.00.00)"}}}},
        {bios, L"ABC_01130000.bin", 0x010cffff, nullptr, 1, nullptr, {newer}},
        {bios, L"ABC_01130000.bin", 0x010d0000, nullptr, 2, nullptr, {newer, notNewer}},
        {bios, L"ABC_01130000.bin", 0x010d0000, L"ABC_01130000.binx", 2, nullptr, {newer, notNewer}},
        {bios, L"ABC_01130000.bin", 0x010d0000, L"abc_01130000.BIN", 3, nullptr, {newer}}};
    // clang-format on
    for (const auto& [smbios, capsule, lastAttempted, retried, result, failure, events] : cases) {
        const std::wstring path = folder + L"\\\\" + capsule;  // as the search gives it back
        const win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 7, nullptr,
                                                       CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                                       nullptr));
        const test::CapturingEventReporter reporter;
        g_smbios = smbios;
        ::DeleteFileW(ServiceLogPath().c_str());
        wchar_t found[MAX_PATH] = L"untouched";
        const std::wstring retry = retried ? folder + L"\\\\" + retried : L"";
        EXPECT_EQ(Nyx::IsUpgradeNeeded(found, lastAttempted, retried ? retry.c_str() : nullptr),
                  result % 2 == 1);
        EXPECT_TRUE(failure || found == path) << test::Utf8(capsule);
        Lines lines = {fn + L"Retreive SMBios info ",
                       fn + (failure ? failure : L"binaryName:  " + path),
                       fn + L"fileversion is greater then bios version",
                       fn + L"last attempt failed, capsule retried",
                       L"IsUpgradeNeeded result: retval= " + std::to_wstring(result % 2) +
                           L" (1 = upgrade needed, 0 = no upgrade needed)"};
        lines.erase(lines.begin() + (result == 3 ? 4 : result > 0 ? 3 : 2), lines.end() - 1);
        ExpectLogged(lines);
        EXPECT_EQ(Events(reporter), events);
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

// The loop ends on stop (first minute, or once its folder watch is up) or an unreadable BIOS. A
// flash handed over (status 1) is judged after a reboot, by the recorded capsule's versions. An
// exception ends the loop the normal way, with the code the host reports on STOPPED.
TEST_F(ServiceLoopTest, EndsOnStopUnreadableBiosOrExceptionAndJudgesAHandedOverFlash) {
    const wchar_t *kEntered = L"void Nyx::ServiceLoop entered",
                  *kWait = L"start looking for capsule - Wait for 1 minute - ",
                  *kPending = L"ServiceLoop : a flash waits for its reboot, no capsule attempted";
    const std::wstring kLast = L"lastinstalledversion from the registry - ";
    // clang-format off
    const std::tuple<DWORD, const wchar_t*, bool, int, Lines, DWORD, DWORD> cases[] = {
        // status, LastBinFile, BIOS readable, boot (0: stop at once, 1: after the key, -1: before), lines, event, status after
        {2, nullptr, true, 0, {kEntered, L"UpgradeStatus Initial read from registry: 2", kWait, kEnd}, 0, 2},
        {1, nullptr, true, 0, {kEntered, L"UpgradeStatus Initial read from registry: 1", kWait, kEnd}, 0, 1},
        {3, nullptr, false, 1, {L"ServiceLoop entered : ", L"Directory already exists: C:\\windows\\system32\\Firmware", L"Directory does not exist: C:\\windows\\Firmware. Creating..", L"Directory created or already exists: C:\\windows\\Firmware", L"BIOS Info not available", L"ServiceLoop : Startup aborted", kEnd}, MSG_BIOS_INFO_UNREADABLE, 3},
        {1, L"C:\\fw/pkg\\ABC_011300.bin", true, 1, {kLast + L"01130025", L"ServiceLoop : last upgrade succeeded", L"ServiceLoop : startup done", L"Entered do while loop  - ",
            L"ServiceLoop : monitoring DriverStore FileRepository", L"Installed BIOS version :  01130000", L"BIOS Family: ABC", L"Enntered DIRID10 folder to search for new capsule ", L"service stop or some error, leave the thread", kEnd}, MSG_UPGRADE_SUCCEEDED, 3},
        {1, L"C:ABC_01140000.bin", true, 1, {kLast + L"01140000", L"ServiceLoop : last upgrade failed", kEnd}, MSG_UPGRADE_FAILED, 2},
        {1, L"ABC_01140000.bin", true, -1, {kLast + L"01140000", L"ServiceLoop : startup done", kPending, kEnd}, 0, 1},
        {0, nullptr, true, 1, {L"unable to read LastBinFile from registry with Error code: 2", kEnd}, 0, 0}};
    // clang-format on
    for (const auto& [status, lastBinFile, biosReadable, boot, lines, event, statusAfter] : cases) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::kServiceKey);
        WriteUpgradeStatus(UpgradeStatus(status));
        if (lastBinFile) {
            WriteServiceString(kLastBinFileValueName, lastBinFile);
        }
        g_bootTime = boot > 0 ? FILETIME{~0u, 0x7FFFFFFF} : FILETIME{0, 0};  // the future, 1601
        g_smbios = biosReadable ? BiosInformation("ABC Ver. 01.02.03", 13, 0) : Bytes{};
        test::RemoveTree(L"C:\\Windows\\Firmware");  // created again at the start
        ::DeleteFileW(ServiceLogPath().c_str());
        const test::CapturingEventReporter reporter;
        const win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, boot == 0, nullptr));
        Nyx::m_serviceStopEvent = stop.Get();
        ServiceContext context{nullptr, stop.Get(), INVALID_HANDLE_VALUE, 0};
        std::thread loop(Nyx::ServiceLoop, &context);
        if (boot != 0 && biosReadable) {  // until the loop watches, or waits for the reboot
            EXPECT_TRUE(test::WaitUntil([&] {
                const Lines logged = test::ReadServiceLogMessages(ServiceLogPath());
                return context.changeHandle != INVALID_HANDLE_VALUE ||
                       std::count(logged.begin(), logged.end(), kPending) != 0;
            }));
            ::SetEvent(stop.Get());
        }
        loop.join();
        EXPECT_EQ(context.changeHandle, INVALID_HANDLE_VALUE);
        ExpectLogged(lines, boot == 0);
        std::vector<Event> expected = {{MSG_SERVICE_STARTING, {}},
                                       {event, lastBinFile ? Lines{lastBinFile} : Lines{}},
                                       {MSG_SERVICE_TERMINATING, {}}};
        expected.erase(expected.begin() + 1, expected.begin() + (event ? 1 : 2));
        EXPECT_EQ(Events(reporter), expected);
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"UpgradeStatus"), statusAfter);
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
