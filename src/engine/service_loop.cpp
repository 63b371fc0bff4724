#include "engine/service_loop.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "capsule/capsule_search.h"
#include "capsule/firmware_folders.h"
#include "capsule/firmware_staging.h"
#include "capsule/kel.h"
#include "engine/boot_time.h"
#include "engine/nyx.h"
#include "engine/startup_delay.h"
#include "platform/bios_info.h"
#include "records/attempt_record.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "versions/firmware_version.h"
#include "win/path_rule.h"
#include "win/unique_handle.h"

namespace {

std::uint8_t LowByte(int field) {
    return static_cast<std::uint8_t>(field & 0xFF);
}

std::wstring DigitsText(int field1, int field2, int field3, int field4) {
    wchar_t text[kVersionDigitsBufferLength];
    FormatVersionDigits(field1, field2, field3, field4, text);
    return text;
}

// One run of the loop thread. It owns the folder watch; the shared context only shows its
// handle, which the run publishes and withdraws together with the watch.
class LoopRun {
public:
    explicit LoopRun(ServiceContext& context) : context_(context) {}
    ~LoopRun() { CloseWatch(); }

    LoopRun(const LoopRun&) = delete;
    LoopRun& operator=(const LoopRun&) = delete;

    void Run() {
        if (!StartUp()) {
            return;
        }
        bool check = true;
        for (;;) {
            if (check && ::InterlockedExchange(&context_.running, 1) == 0) {
                Check();
                ::InterlockedExchange(&context_.running, 0);
            }
            // After a stop no further check or watch set-up runs: the service must end in time.
            if (::WaitForSingleObject(context_.stopEvent, 0) == WAIT_OBJECT_0) {
                Log(L"service stop or some error, leave the thread");
                break;
            }
            check = true;
            if (!upgraded_ && !watch_) {
                SetUpWatch();
                // The first check of a run looks in the Windows firmware folder; when the
                // watch set-up finds a newer package in the driver store (or the store's
                // package is gone), the capsule is looked for there at once instead of at
                // the next unrelated change below the folder. After an attempt that handed
                // nothing over, the check runs once more with the watch open again: a capsule
                // that landed while the watch was closed for the attempt is not missed.
                if (searchDriverStore != searchModeOfLastCheck_ || justTried_) {
                    continue;
                }
            }
            const WakeReason reason = WaitForChange();
            if (reason == WakeReason::kStop) {
                break;
            }
            // After a bounded wait only the watch set-up runs again.
            check = reason != WakeReason::kRetryWatchSetUp;
        }
        CloseWatch();
        End();
    }

    static void End() {
        Log(L"ServiceLoop : Service is terminating");
        ReportInfoEvent(MSG_SERVICE_TERMINATING);
    }

private:
    // Start-up steps; false when the loop must end (the end lines are then written).
    bool StartUp() {
        // Judged before anything is written: any write moves the key's time past the boot. Only a
        // record an earlier version wrote, without its boot's identity, is judged by it.
        boot_.restartedSinceKeyWrite = MachineRestartedSinceKeyWrite();
        boot_.identity = ReadBootIdentity();
        // A power cut in the middle of changing the record left its journal: the record goes
        // back to what it was before that change.
        RecoverAttemptRecord();
        const attempt::Record initial = ReadAttemptRecord().record;
        Log(L"UpgradeStatus Initial read from registry: " +
            std::to_wstring(static_cast<DWORD>(initial.status.value_or(UpgradeStatus::kFailed))));
        // A status of an attempt waits for the BIOS read below; any other is cleared now.
        if (const auto cleared = attempt::StatusToWriteAtStart(initial)) {
            WriteUpgradeStatus(*cleared);
        }

        Log(L"start looking for capsule - Wait for 1 minute - ");
        if (::WaitForSingleObject(Nyx::m_serviceStopEvent, ServiceStartupDelayMs()) !=
            WAIT_TIMEOUT) {
            End();
            return false;
        }

        Log(L"ServiceLoop entered : ");
        BuildFirmwareFolderPath();
        if (EnsureDirectory(firmwareStagingFolder) == -1) {
            Log(L"Failed to create Firmware directory under System32. GetLastError() = " +
                std::to_wstring(::GetLastError()));
        }
        if (EnsureDirectory(GetFirmwareFolderPath()) == -1) {
            Log(L"Failed to create Firmware directory under Windows. GetLastError() = " +
                std::to_wstring(::GetLastError()));
        }

        std::wstring family;
        int fields[4] = {0, 0, 0, 0};
        if (!GetBiosInfo(family, fields[0], fields[1], fields[2], fields[3])) {
            Log(L"BIOS Info not available");
            ReportErrorEvent(MSG_BIOS_INFO_UNREADABLE);
            Log(L"ServiceLoop : Startup aborted");
            End();
            return false;
        }
        biosVersionAtStart_ = MakeFirmwareVersion(LowByte(fields[0]), LowByte(fields[1]),
                                                  LowByte(fields[2]), LowByte(fields[3]));

        const StoredAttempt stored = ReadAttemptRecord();
        const attempt::Record& record = stored.record;
        if (record.lastBinFile) {
            std::uint8_t bytes[4] = {0, 0, 0, 0};
            ParseCapsuleVersion(CapsuleFileNameOf(*record.lastBinFile).c_str(), bytes[0], bytes[1],
                                bytes[2], bytes[3]);
            lastAttempted_ = MakeFirmwareVersion(bytes[0], bytes[1], bytes[2], bytes[3]);
            Log(L"lastinstalledversion from the registry - " +
                DigitsText(bytes[0], bytes[1], bytes[2], bytes[3]));
        } else {
            Log(L"unable to read LastBinFile from registry with Error code: " +
                std::to_wstring(stored.lastBinFileError));
        }

        // The running BIOS, not the tool's exit code, tells how the attempt ended.
        const attempt::StartupVerdict verdict = attempt::JudgeAtStartup(
            record, boot_, LastAttemptInstalled(biosVersionAtStart_, lastAttempted_));
        const std::wstring lastBinFile = record.lastBinFile.value_or(L"");
        if (verdict.verification == attempt::StartupVerdict::Verification::kSucceeded) {
            Log(L"ServiceLoop : last upgrade succeeded");
            ReportInfoEvent(MSG_UPGRADE_SUCCEEDED, lastBinFile);
        } else if (verdict.verification == attempt::StartupVerdict::Verification::kFailed) {
            ReportErrorEvent(MSG_UPGRADE_FAILED, lastBinFile);
            Log(L"ServiceLoop : last upgrade failed");
        }
        if (verdict.statusToWrite) {
            WriteUpgradeStatus(*verdict.statusToWrite);
        }
        if (verdict.markJudged) {
            MarkAttemptJudged();
        }
        Log(L"ServiceLoop : startup done");
        return true;
    }

    static bool MachineRestartedSinceKeyWrite() {
        FILETIME keyLastWrite;
        return ReadServiceKeyWriteTime(&keyLastWrite) &&
               RebootedSince(keyLastWrite, BootTimeFromTickCount());
    }

    // How often the tool was started for |capsule| (a file name) in this run.
    std::uint32_t LaunchesThisRun(const std::wstring& capsule) const {
        for (const auto& [launched, count] : launches_) {
            if (win::SamePath(launched, capsule)) {
                return count;
            }
        }
        return 0;
    }

    void Check() {
        wchar_t capsulePath[MAX_PATH] = {};
        Log(L"Entered do while loop  - ");
        // The check right after an attempt that handed nothing over leaves that capsule to its
        // retry rule or to the next logon or change, so it can never loop.
        const std::optional<std::wstring> justTried = std::exchange(justTried_, std::nullopt);
        // Only this thread writes the record, so one read serves the whole check.
        const attempt::Record record = ReadAttemptRecord().record;
        if (attempt::HoldsNewAttempts(record, boot_)) {
            // Nothing may touch the staged files or the record until the reboot has judged the
            // flash; the loop then only waits for its stop, as after a hand-over.
            Log(L"ServiceLoop : a flash waits for its reboot, no capsule attempted");
            upgraded_ = true;
            return;
        }
        searchModeOfLastCheck_ = searchDriverStore;
        if (!Nyx::IsUpgradeNeeded(
                capsulePath, lastAttempted_,
                attempt::MayRetry(record) ? record.lastBinFile->c_str() : nullptr)) {
            return;
        }
        Log(L"IsUpgradeneeded :  new capsule found");

        const std::wstring capsule = CapsuleFileNameOf(capsulePath);
        const bool isRecorded = record.lastBinFile && SameCapsule(*record.lastBinFile, capsulePath);
        const attempt::CheckVerdict verdict =
            attempt::DecideCheck(record, isRecorded, LaunchesThisRun(capsule));
        if (verdict.action != attempt::CheckVerdict::Action::kAttempt ||
            (justTried && win::SamePath(*justTried, capsule))) {
            Log(L"IsUpgradeneeded :  not retrying capsule since last attempt failed ");
            return;
        }

        // Staging records the attempt (journal, LastBinFile, AttemptCount, AttemptBoot,
        // UpgradeStatus) once the tool's process exists, just before it runs.
        ::OutputDebugStringW(capsulePath);
        CloseWatch();
        ReportInfoEvent(MSG_UPGRADING_FIRMWARE, capsulePath);

        Log(L"ServiceLoop :  Entering into UpgradeFirmware");
        AttemptOptions options;
        options.attemptCount = verdict.attemptCount;
        options.boot = boot_.identity;
        upgraded_ =
            Kel::UpgradeFirmware(capsulePath, Nyx::m_serviceStopEvent, rebootRequired_, &options);
        if (options.toolStarted) {
            ++launches_[capsule];
        }
        if (upgraded_) {
            ReportInfoEvent(rebootRequired_ ? MSG_DOWNLOAD_SUCCEEDED : MSG_UPGRADE_SUCCEEDED,
                            capsulePath);
        } else {
            ReportErrorEvent(MSG_UPGRADE_FAILED, capsulePath);
            justTried_ = capsule;
        }
    }

    void SetUpWatch() {
        Log(L"ServiceLoop : monitoring DriverStore FileRepository");
        if (driverStorePath[0] == L'\0') {
            BuildFwPathDIRID13();
        }
        win::UniqueChangeNotification store(Nyx::StartDirectoryMonitoring(driverStorePath));

        std::wstring family;
        int fields[4] = {0, 0, 0, 0};
        watchSetUpFailed_ = !GetBiosInfo(family, fields[0], fields[1], fields[2], fields[3]);
        if (watchSetUpFailed_) {
            return;  // no watch: a bounded wait, then the set-up is tried again
        }
        const std::wstring installed = DigitsText(fields[0], fields[1], fields[2], fields[3]);
        Log(L"Installed BIOS version :  " + installed);

        const std::wstring series = NewestSeriesInDriverStore(family);
        if (IsSeriesNewer(series, installed)) {
            searchDriverStore = true;
            Log(L"Searched DIRID13 and latestbiosversionfromWU is  greater than installed "
                L"version : ");
            Watch(std::move(store));
        } else {
            searchDriverStore = false;
            store.Reset();
            Log(L"Enntered DIRID10 folder to search for new capsule ");
            if (firmwareFolderPath[0] == L'\0') {
                BuildFirmwareFolderPath();
            }
            Watch(win::UniqueChangeNotification(Nyx::StartDirectoryMonitoring(firmwareFolderPath)));
        }
    }

    // Takes |watch| over and shows its handle in the shared context.
    void Watch(win::UniqueChangeNotification watch) {
        watch_ = std::move(watch);
        context_.changeHandle = watch_.Get();
    }

    void CloseWatch() {
        context_.changeHandle = INVALID_HANDLE_VALUE;
        watch_.Reset();
    }

    // The version series of the last package folder of |family| that the driver store
    // enumeration returns with one; empty when there is none.
    static std::wstring NewestSeriesInDriverStore(const std::wstring& family) {
        WIN32_FIND_DATAW entry;
        const std::wstring pattern = std::wstring(driverStorePath) + L"\\*";
        win::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
        Log(L"BIOS Family: " + family);
        std::wstring series;
        if (!find) {
            return series;
        }
        do {
            const std::wstring name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || name == L"." ||
                name == L"..") {
                continue;
            }
            // Only the family's own firmware packages tell of firmware: another maker's
            // "<family>_audio.inf..." package would otherwise sort above every version and hide
            // the firmware folder.
            const std::optional<std::wstring> packageSeries = FirmwarePackageSeries(name, family);
            if (!packageSeries) {
                continue;
            }
            Log(L"Match found: " + name);
            Log(L"biosFolderNameUpToInf - " +
                name.substr(0, family.size() + 1 + packageSeries->size() + 4));
            series = *packageSeries;
            Log(L"Folder containing latest BIOS version from WU: " + name);
            Log(L"Extracted version series: " + series);
        } while (::FindNextFileW(find.Get(), &entry));
        return series;
    }

    enum class WakeReason { kStop, kFolderChange, kLogon, kRetryWatchSetUp };

    // Sleeps until the stop event, the folder watch or (until a capsule was handed over) a
    // logon fires, or the bounded wait after a failed watch set-up ends.
    WakeReason WaitForChange() {
        HANDLE handles[3] = {context_.stopEvent, watch_.Get(), nullptr};
        const bool watching = static_cast<bool>(watch_);
        DWORD count = watching ? 2 : 1;
        const bool watchingLogons = !upgraded_ && Nyx::m_logonEvent != nullptr;
        const DWORD logonIndex = count;
        if (watchingLogons) {
            handles[count++] = Nyx::m_logonEvent;
        }
        const bool bounded = !upgraded_ && watchSetUpFailed_;
        const DWORD result =
            ::WaitForMultipleObjects(count, handles, FALSE, CycleWaitTimeout(bounded));
        if (watching && result == WAIT_OBJECT_0 + 1) {
            if (!::FindNextChangeNotification(watch_.Get())) {
                const DWORD error = ::GetLastError();
                Log(L"FindNextChangeNotification failed with Error code: " +
                    std::to_wstring(error));
                CloseWatch();
            }
            return WakeReason::kFolderChange;
        }
        if (watchingLogons && result == WAIT_OBJECT_0 + logonIndex) {
            return WakeReason::kLogon;
        }
        if (bounded && result == WAIT_TIMEOUT) {
            return WakeReason::kRetryWatchSetUp;
        }
        Log(L"service stop or some error, leave the thread");
        return WakeReason::kStop;
    }

    ServiceContext& context_;
    win::UniqueChangeNotification watch_;
    FirmwareVersion lastAttempted_ = 0;
    FirmwareVersion biosVersionAtStart_ = 0;
    bool upgraded_ = false;
    bool rebootRequired_ = false;
    bool searchModeOfLastCheck_ = false;
    bool watchSetUpFailed_ = false;
    attempt::Boot boot_;  // the boot this run is in
    // The capsule (its file name) of an attempt that handed nothing over, until the next check.
    std::optional<std::wstring> justTried_;
    std::map<std::wstring, std::uint32_t> launches_;  // tool starts per capsule name in this run
};

}  // namespace

bool RebootedSince(const FILETIME& keyLastWrite, const FILETIME& bootTime) {
    return ::CompareFileTime(&keyLastWrite, &bootTime) < 0;
}

bool LastAttemptInstalled(FirmwareVersion runningBios, FirmwareVersion lastAttempted) {
    return (runningBios >> 8) >= (lastAttempted >> 8);
}

DWORD CycleWaitTimeout(bool watchSetUpFailed) {
    constexpr DWORD kWatchSetUpRetryMs = 5 * 60 * 1000;
    return watchSetUpFailed ? kWatchSetUpRetryMs : INFINITE;
}

std::wstring CapsuleFileNameOf(const std::wstring& recordedPath) {
    const std::wstring path = recordedPath.c_str();
    size_t start = path.find_last_of(L"\\/");
    if (start == std::wstring::npos) {
        start = path.size() >= 2 && path[1] == L':' ? 2 : 0;
    } else {
        ++start;
    }
    return path.substr(start, MAX_PATH - 1);
}

bool SameCapsule(const std::wstring& a, const std::wstring& b) {
    return win::SamePath(CapsuleFileNameOf(a), CapsuleFileNameOf(b));
}

HANDLE Nyx::StartDirectoryMonitoring(const wchar_t* path) {
    Log(L"HANDLE Nyx::StartDirectoryMonitoring : StartDirectoryMonitoring entered ");
    HANDLE watch = ::FindFirstChangeNotificationW(path, TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    if (watch != INVALID_HANDLE_VALUE) {
        return watch;
    }
    const DWORD error = ::GetLastError();
    Log(L"FindFirstChangeNotification failed, GetLastError() = " +
        std::to_wstring(static_cast<int>(error)));
    ::ExitProcess(error);
}

DWORD Nyx::ServiceLoop(ServiceContext* context) {
    try {
        ReportInfoEvent(MSG_SERVICE_STARTING);
        Log(L"void Nyx::ServiceLoop entered");
        if (context == nullptr) {
            Log(L"ServiceLoop : received NULL context");
            LoopRun::End();
            return 0;
        }
        LoopRun(*context).Run();  // its watch is closed on every way out, exceptions included
        return 0;
    } catch (...) {
    }
    try {
        Log(L"ServiceLoop : ended by an unexpected exception");
        LoopRun::End();
    } catch (...) {
    }
    return ERROR_EXCEPTION_IN_SERVICE;
}
