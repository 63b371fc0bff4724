#include "capsule/firmware_staging.h"

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

#include "capsule/capsule_search.h"
#include "capsule/firmware_folders.h"
#include "capsule/kel.h"
#include "capsule/kel_launch.h"
#include "capsule/signature_check.h"
#include "capsule/tool_names.h"
#include "records/attempt_record.h"
#include "records/crash_point.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "win/private_files.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

namespace {

using staging::Plan;
using staging::StagedFile;

std::wstring HexError(DWORD error) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"error=0x%08x", error);
    return text;
}

// The service executable's full path and its parts. ERROR_SUCCESS, or the error that kept it
// from being read (ERROR_FILENAME_EXCED_RANGE when it, or a part, does not fit its buffer).
DWORD ReadServiceExecutable(std::wstring& path, staging::PathParts& parts) {
    wchar_t buffer[staging::kPathCapacity] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, staging::kPathCapacity);
    if (length == 0) {
        return ::GetLastError();
    }
    if (length >= staging::kPathCapacity) {  // cut short by the buffer
        return ERROR_FILENAME_EXCED_RANGE;
    }
    path.assign(buffer, length);
    return SplitPath(path, parts) ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
}

void ReportCopyFailure(const wchar_t* suffix, const staging::Copy& copy, DWORD error) {
    const std::wstring text = std::wstring(L"src") + suffix + L"=\"" + copy.source + L"\", dest" +
                              suffix + L"=\"" + copy.destination + L"\", error=" + Signed(error);
    ReportErrorEvent(MSG_CALL_FAILED, L"CopyFile", text.c_str());
}

// The driver-store mode's lines for a copy of |file|: failure text, success line.
std::pair<const wchar_t*, const wchar_t*> DriverStoreCopyLines(StagedFile file) {
    switch (file) {
        case StagedFile::kCapsule:
            return {L"Copy failed for .bin file, error=",
                    L"Successfully copied .bin file to DIRID11 "};
        case StagedFile::kInf:
            return {L"Copy failed for .inf file, error=",
                    L"Successfully copied .inf file to DIRID11 "};
        case StagedFile::kTool:
            return {L"Copy failed for KEL executable, error=",
                    L"Successfully copied KEL executable DIRID11 "};
        case StagedFile::kToast:
            return {L"Copy failed for Toast Activator, error=",
                    L"Successfully copied Toast Activator DIRID11 "};
        case StagedFile::kLogo:
            break;
    }
    return {L"Copy failed for QV Logo, error=", L"Successfully copied QV Logo DIRID11 "};
}

// Reports a failed copy in the driver-store mode: its line and the event.
void ReportDriverStoreCopyFailure(const staging::Copy& copy, DWORD error) {
    Log(DriverStoreCopyLines(copy.file).first + std::to_wstring(error));
    ReportCopyFailure(L"", copy, error);
}

// Reports a failed copy in the Windows-folder mode: only the tool's has a line, and each file's
// event numbers its texts. "Copy failed at line 480" is a fixed text that support staff and
// their tools match: it stays as it is.
void ReportFirmwareFolderCopyFailure(const staging::Copy& copy, DWORD error) {
    if (copy.file == StagedFile::kTool) {
        Log(L"Copy failed at line 480" + copy.destination);
    }
    const wchar_t* const suffix = copy.file == StagedFile::kTool    ? L""
                                  : copy.file == StagedFile::kToast ? L"2"
                                                                    : L"3";
    ReportCopyFailure(suffix, copy, error);
}

// A line that may be followed by a path. Some driver-store lines are written as the text alone,
// on purpose: support staff and their tools know them so.
struct PathLine {
    const wchar_t* text;
    bool withPath;
    std::wstring For(const std::wstring& path) const { return withPath ? text + path : text; }
};

// What each capsule-source mode writes: the texts as they are, so that the body needs no mode.
struct ModeTexts {
    PathLine capsuleLocation;           // followed by the capsule's folder
    const wchar_t* moduleFileNameCall;  // the event's call name when the service path is unknown
    const wchar_t* moduleFileNameLine;  // followed by the error
    PathLine sourceFolder;              // followed by the service executable's path
    bool logsCopies;                    // a line for every copy that succeeded
    void (*reportCopyFailure)(const staging::Copy&, DWORD);
    const wchar_t* toolRan;     // after a launch that succeeded; null: no line
    const wchar_t* toolFailed;  // after a launch that failed; null: no line
};

constexpr ModeTexts kDriverStoreTexts{
    {L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ", false},
    L"GetModuleFileName failed",
    L"GetModuleFileName failed: ",
    {L"Source directory (DIRID13 NYX service location): ", false},
    true,
    ReportDriverStoreCopyFailure,
    L"KEL is running",
    L"RunKel failed ",
};

constexpr ModeTexts kFirmwareFolderTexts{
    {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): ", true},
    L"GetModuleFileName failed. ",
    L"bool Kel::UpgradeFirmware - GetModuleFileName failed: ",
    {L"srcPath: ", true},
    false,
    ReportFirmwareFolderCopyFailure,
    nullptr,
    nullptr,
};

// Copies one file of the plan; the service's stop ends the copy. ERROR_SUCCESS or the error
// (ERROR_FILENAME_EXCED_RANGE for a path that does not fit its buffer).
DWORD CopyStagedFile(const staging::Copy& copy, HANDLE stopEvent) {
    if (copy.source.size() >= staging::kPathCapacity ||
        copy.destination.size() >= staging::kPathCapacity) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return win::CopyFileWithReaders(
        copy.source, copy.destination,
        copy.isPrivate ? win::FileReaders::kNobody : win::FileReaders::kUsers, stopEvent);
}

// Deletes the capsules (.bin) and INF files that earlier attempts left in |folder|, matched as
// the tool matches them (short names too), so that the tool finds only this attempt's capsule.
// A link is deleted itself, never what it leads to. False when one of them stays.
bool RemoveEarlierCapsules(const std::wstring& folder) {
    bool removed = true;
    for (const wchar_t* pattern : {L"\\*.bin", L"\\*.inf"}) {
        WIN32_FIND_DATAW entry;
        win::UniqueFindHandle find(::FindFirstFileW((folder + pattern).c_str(), &entry));
        while (find) {
            const std::wstring name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                const std::wstring path = folder + L"\\" + name;
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (::DeleteFileW(path.c_str())) {
                    Log(L"Deleted file of an earlier update: " + name);
                } else {
                    const DWORD error = ::GetLastError();
                    Log(L"Delete failed for file of an earlier update: " + name + L", error=" +
                        std::to_wstring(error));
                    removed = false;
                }
            }
            if (!::FindNextFileW(find.Get(), &entry)) {
                break;
            }
        }
    }
    return removed;
}

// Carries out the plan's copies. Every copy is tried; false when a required one failed (or an
// earlier capsule could not be removed).
bool CarryOut(const Plan& plan, const ModeTexts& texts, HANDLE stopEvent) {
    bool staged = !plan.removesEarlierCapsules || RemoveEarlierCapsules(firmwareStagingFolder);
    for (const staging::Copy& copy : plan.copies) {
        const DWORD error = CopyStagedFile(copy, stopEvent);
        if (error == ERROR_SUCCESS) {
            if (texts.logsCopies) {
                Log(DriverStoreCopyLines(copy.file).second);
            }
            continue;
        }
        if (copy.required) {
            staged = false;
        }
        texts.reportCopyFailure(copy, error);
    }
    return staged;
}

void SetFinalStatus(UpgradeStatus status) {
    if (WriteUpgradeStatus(status)) {
        Log(L"Successfully set new upgrade status");
    } else {
        Log(L"FAILED to set new upgrade status");
    }
}

std::wstring Hex(LONG result) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// Reports a file that failed the signature check; returns |result| as the launch's error.
DWORD Unverified(const std::wstring& path, LONG result) {
    ReportErrorEvent(MSG_CAPSULE_UNVERIFIED, path.c_str(), Hex(result).c_str());
    Log(L"Unable to verify " + path + L", result=" + Hex(result));
    return static_cast<DWORD>(result);
}

// The service starts the tool with the user's elevated token: the staged tool and activator
// must carry valid signatures of the certificate that signed the service's own executable.
// Each checked file stays open in |held|, so nobody can replace it before the tool starts.
// |own| is the service executable's path, or |ownError| why it could not be read.
// ERROR_SUCCESS or the check's result.
DWORD VerifyStagedTools(const std::wstring& own, DWORD ownError, const std::wstring (&files)[2],
                        std::vector<win::UniqueFileHandle>& held) {
    if (ownError != ERROR_SUCCESS) {
        return Unverified(own, static_cast<LONG>(ownError));
    }
    Thumbprint ownSigner{};
    LONG result = VerifySignature(own, nullptr, ownSigner);
    if (result != ERROR_SUCCESS) {
        return Unverified(own, result);
    }
    for (const std::wstring& file : files) {
        win::UniqueFileHandle handle;
        result = OpenSignedBy(file, ownSigner, handle);
        if (result != ERROR_SUCCESS) {
            return Unverified(file, result);  // the launch lets go of what is held
        }
        held.push_back(std::move(handle));
    }
    return ERROR_SUCCESS;
}

bool IsHandedOver(UpgradeStatus status) {
    return status == UpgradeStatus::kInProgress || status == UpgradeStatus::kDone;
}

// The end of a call that could not stage the tool: nothing was recorded.
bool EndWithoutLaunch() {
    Log(L"BIOS already upgraded");
    return false;
}

bool StopIsSet(HANDLE stopEvent) {
    return stopEvent != nullptr && ::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

}  // namespace

bool SplitPath(const std::wstring& path, staging::PathParts& parts) {
    wchar_t drive[staging::kDriveCapacity] = {};
    wchar_t directory[staging::kPartCapacity] = {};
    wchar_t name[staging::kPartCapacity] = {};
    wchar_t extension[staging::kPartCapacity] = {};
    if (_wsplitpath_s(path.c_str(), drive, staging::kDriveCapacity, directory,
                      staging::kPartCapacity, name, staging::kPartCapacity, extension,
                      staging::kPartCapacity) != 0) {
        parts = staging::PathParts{};
        return false;
    }
    parts = {drive, directory, name, extension};
    return true;
}

FlashToolNames ChooseToolNames(const std::wstring& executablePath) {
    DWORD type = 0;
    if (!::GetBinaryTypeW(executablePath.c_str(), &type) || type == SCS_64BIT_BINARY) {
        return {toolBaseName + L"64", toastBaseName + L"64"};
    }
    return {toolBaseName, toastBaseName};
}

bool Kel::UpgradeFirmware(const std::wstring& binaryName, HANDLE stopEvent, bool& rebootRequired,
                          AttemptOptions* options) {
    AttemptOptions defaults;
    AttemptOptions& attemptOptions = options != nullptr ? *options : defaults;
    attemptOptions.toolStarted = false;
    // The status on entry belongs to the previous attempt and decides nothing here: the loop
    // decided, and this attempt is recorded once its tool exists.
    Log(L"Entered UpgradeFirmware() - ");
    // The service log of every capsule update starts afresh.
    DeleteOldLogFile();
    Log(L"Starting new capsule update - old log file deleted");

    const bool driverStoreMode = searchDriverStore;
    const ModeTexts& texts = driverStoreMode ? kDriverStoreTexts : kFirmwareFolderTexts;
    if (driverStoreMode && driverStorePath[0] == L'\0') {
        BuildFwPathDIRID13();
    }
    std::wstring executablePath;
    std::optional<staging::ServiceImage> image(std::in_place);
    const DWORD imageError = ReadServiceExecutable(executablePath, image->parts);
    if (imageError != ERROR_SUCCESS) {
        image.reset();
    } else {
        const FlashToolNames names = ChooseToolNames(executablePath);
        image->is64Bit = names.tool != toolBaseName;
    }
    staging::PathParts capsule;
    SplitPath(binaryName, capsule);  // overlong parts fail their copies
    const Plan plan =
        staging::PlanStaging(binaryName, capsule,
                             driverStoreMode ? staging::CapsuleSource::kDriverStore
                                             : staging::CapsuleSource::kFirmwareFolder,
                             {firmwareStagingFolder, driverStorePath, GetFirmwareFolderPath()},
                             image ? &*image : nullptr);

    if (plan.outcome == Plan::Outcome::kInvalidName) {
        const std::wstring text = L"Invalid binaryName: \"" + binaryName + L"\"";
        ReportErrorEvent(MSG_CALL_FAILED, L"UpgradeFirmware", text.c_str());
        return EndWithoutLaunch();
    }
    // The staging folder also holds the log and the tool's TEMP, in both modes: one that an
    // ordinary user could own, write or link is not used.
    if (EnsureDirectory(firmwareStagingFolder) != 0) {
        return EndWithoutLaunch();
    }
    const bool copies = plan.outcome != Plan::Outcome::kStage || !plan.copies.empty();
    Log(texts.capsuleLocation.For(plan.pathToCapsule));
    if (!driverStoreMode && (EnsureDirectory(GetFirmwareFolderPath()) != 0 ||
                             (copies && EnsureDirectory(plan.toolFolder) != 0))) {
        return EndWithoutLaunch();
    }
    if (plan.outcome == Plan::Outcome::kNeedsServiceImage) {
        ReportErrorEvent(MSG_CALL_FAILED, texts.moduleFileNameCall, HexError(imageError).c_str());
        Log(texts.moduleFileNameLine + std::to_wstring(imageError));
        return false;
    }
    if (copies) {
        Log(texts.sourceFolder.For(executablePath));
        if (!CarryOut(plan, texts, stopEvent)) {
            return EndWithoutLaunch();
        }
    }
    ReachCrashPoint(CrashPoint::kStaged);

    Log(L"BIOS needs upgrade");
    AttemptRecorder record(binaryName, attemptOptions.attemptCount, attemptOptions.boot);
    LaunchControl launch;
    launch.stagingFolder = firmwareStagingFolder;
    const auto stopping = [&] {
        if (!StopIsSet(stopEvent)) {
            return false;
        }
        Log(L"Service is stopping: KEL not started");
        return true;
    };
    launch.beforeStart = [&]() -> DWORD {
        // A stop that came during the search, the copies or the checks: no tool is started.
        if (stopping()) {
            return ERROR_CANCELLED;
        }
        const std::wstring checked[2] = {plan.toolFolder + L"\\" + plan.toolFile,
                                         plan.toolFolder + L"\\" + plan.toastFile};
        if (const DWORD verdict =
                VerifyStagedTools(executablePath, imageError, checked, launch.heldUntilStarted)) {
            return verdict;
        }
        if (!driverStoreMode) {
            // The tool reads the capsule where it lies: judged like its folder, and held so that
            // nobody changes it until the tool has started.
            win::UniqueFileHandle capsuleFile;
            if (const DWORD verdict = win::FolderJudge().HoldFile(binaryName, capsuleFile)) {
                return Unverified(binaryName, static_cast<LONG>(verdict));
            }
            launch.heldUntilStarted.push_back(std::move(capsuleFile));
        }
        const wchar_t* writer = nullptr;
        if (const DWORD error = record.Record(writer)) {
            ReportErrorEvent(MSG_CALL_FAILED, writer, Signed(error).c_str());
            Log(std::wstring(L"Unable to record the attempt: ") + writer + L" error=" +
                std::to_wstring(error));
            return error;
        }
        ReachCrashPoint(CrashPoint::kRecorded);
        return ERROR_SUCCESS;
    };
    // The tool's process exists, suspended: the record stands from here on.
    launch.beforeResume = [&]() -> DWORD {
        if (stopping()) {
            return ERROR_CANCELLED;
        }
        if (const DWORD error = record.Commit()) {
            ReportErrorEvent(MSG_CALL_FAILED, L"DeleteServiceValue", Signed(error).c_str());
            Log(L"Unable to record the attempt: DeleteServiceValue error=" +
                std::to_wstring(error));
            return error;
        }
        return ERROR_SUCCESS;
    };
    UpgradeStatus stagingStatus = UpgradeStatus::kFailed;
    const bool ran =
        RunKel(plan.toolFolder, plan.toolFile, binaryName, stopEvent, rebootRequired, &launch);
    attemptOptions.toolStarted = launch.run != ToolRun::kNotStarted;
    if (launch.run == ToolRun::kExited) {
        ReachCrashPoint(CrashPoint::kToolEnded);
    }
    if (ran) {
        if (texts.toolRan != nullptr) {
            Log(texts.toolRan);
        }
        stagingStatus = rebootRequired ? UpgradeStatus::kInProgress : UpgradeStatus::kDone;
    } else {
        ReportErrorEvent(MSG_CALL_FAILED, L"RunKel", Signed(launch.error).c_str());
        if (texts.toolFailed != nullptr) {
            Log(texts.toolFailed);
        }
        // The tool's own failure is the attempt's; a tool that never started, or that the
        // service's stop ended, leaves no attempt behind.
        if (launch.run != ToolRun::kExited) {
            Log(L"Attempt not recorded: KEL did not run to its end");
            record.Withdraw();
            return false;
        }
    }
    SetFinalStatus(stagingStatus);
    return IsHandedOver(stagingStatus);
}
