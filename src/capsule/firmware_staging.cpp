#include "capsule/firmware_staging.h"

#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

#include "capsule/capsule_search.h"
#include "capsule/kel.h"
#include "capsule/kel_launch.h"
#include "capsule/signature_check.h"
#include "capsule/tool_names.h"
#include "records/service_state.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

namespace {

// Capacity, terminator included, of every path buffer of a staging run.
constexpr size_t kPathCapacity = MAX_PATH;
// Capacities of the parts a path is split into (as _wsplitpath_s is given them).
constexpr size_t kDriveCapacity = 3;
constexpr size_t kPartCapacity = 256;

std::wstring Signed(DWORD value) {
    return std::to_wstring(static_cast<int>(value));
}

bool Fits(const std::wstring& path) {
    return path.size() < kPathCapacity;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A path cut into the parts _wsplitpath_s gives: "C:", "\folder\", "name", ".ext".
struct PathParts {
    std::wstring drive;
    std::wstring directory;
    std::wstring name;
    std::wstring extension;
};

// Splits |path| by the rules of _wsplitpath_s. False when a part would not fit the buffer that
// function is given for it (3 characters for the drive, 256 for each other part); the parts
// are filled either way.
bool SplitPath(const std::wstring& path, PathParts& parts) {
    size_t position = 0;
    parts = PathParts{};
    if (path.size() >= 2 && path[1] == L':') {
        parts.drive = path.substr(0, 2);
        position = 2;
    }
    const size_t lastSeparator = path.find_last_of(L"\\/");
    if (lastSeparator != std::wstring::npos && lastSeparator >= position) {
        parts.directory = path.substr(position, lastSeparator + 1 - position);
        position = lastSeparator + 1;
    }
    const std::wstring file = path.substr(position);
    const size_t dot = file.rfind(L'.');
    parts.name = file.substr(0, dot);
    parts.extension = dot == std::wstring::npos ? L"" : file.substr(dot);
    return parts.drive.size() < kDriveCapacity && parts.directory.size() < kPartCapacity &&
           parts.name.size() < kPartCapacity && parts.extension.size() < kPartCapacity;
}

// Joins parts as _wmakepath_s does: a separator after a directory that lacks one, a point
// before an extension that lacks one.
std::wstring MakePath(const std::wstring& drive, const std::wstring& directory,
                      const std::wstring& name, const std::wstring& extension) {
    std::wstring path = drive + directory;
    if (!directory.empty() && directory.back() != L'\\' && directory.back() != L'/') {
        path += L'\\';
    }
    path += name;
    if (!extension.empty()) {
        if (extension.front() != L'.') {
            path += L'.';
        }
        path += extension;
    }
    return path;
}

// Copies |source| over |destination|; on failure returns the error (ERROR_FILENAME_EXCED_RANGE
// for a path that does not fit its buffer), else ERROR_SUCCESS.
DWORD CopyStagedFile(const std::wstring& source, const std::wstring& destination) {
    if (!Fits(source) || !Fits(destination)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // A destination that is a link would have the copy land in the file it leads to.
    if (!win::UnlinkFile(destination) || !::CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

void ReportCopyFailure(const wchar_t* suffix, const std::wstring& source,
                       const std::wstring& destination, DWORD error) {
    const std::wstring text = std::wstring(L"src") + suffix + L"=\"" + source + L"\", dest" +
                              suffix + L"=\"" + destination + L"\", error=" + Signed(error);
    ReportErrorEvent(MSG_CALL_FAILED, L"CopyFile", text.c_str());
}

// The service executable's full path. False, with the error, when it cannot be read or does not
// fit its buffer (or its parts theirs).
bool GetServiceExecutable(std::wstring& path, PathParts& parts, DWORD& error) {
    wchar_t buffer[kPathCapacity] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, kPathCapacity);
    if (length == 0) {
        error = ::GetLastError();
        return false;
    }
    if (length >= kPathCapacity) {  // cut short by the buffer
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    path.assign(buffer, length);
    if (!SplitPath(path, parts)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    return true;
}

std::wstring HexError(DWORD error) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"error=0x%08x", error);
    return text;
}

struct DriverStoreCopy {
    std::wstring source;
    std::wstring destination;
    const wchar_t* failureText;
    const wchar_t* successLine;
    bool required;
};

bool EndsWith(const std::wstring& name, const wchar_t* extension) {
    const size_t length = std::wcslen(extension);
    return name.size() > length && SamePath(name.substr(name.size() - length), extension);
}

// Deletes the capsules (.bin) and INF files that earlier attempts left in |staging|, so that the
// tool finds only this attempt's capsule there. A link is deleted itself, never what it leads
// to. False when one of them stays.
bool RemoveEarlierCapsules(const std::wstring& staging) {
    bool removed = true;
    WIN32_FIND_DATAW entry;
    win::UniqueFindHandle find(::FindFirstFileW((staging + L"\\*").c_str(), &entry));
    while (find) {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            (EndsWith(name, L".bin") || EndsWith(name, L".inf"))) {
            if (::DeleteFileW((staging + L"\\" + name).c_str())) {
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
    return removed;
}

// Copies the capsule and the tool files into the staging folder. Every copy is tried; false
// when one of the required ones failed.
bool StageFromDriverStore(const std::wstring& pathToCapsule, const PathParts& executable,
                          const PathParts& capsule) {
    const std::wstring sourceFolder = executable.drive + executable.directory;
    const std::wstring& staging = firmwareStagingFolder;
    const std::wstring capsuleFile = capsule.name + capsule.extension;
    const std::wstring infFile = capsule.name + L".inf";
    const std::wstring logoFile = logoFileName;
    const DriverStoreCopy copies[] = {
        {pathToCapsule + L"\\" + capsuleFile, staging + L"\\" + capsuleFile,
         L"Copy failed for .bin file, error=", L"Successfully copied .bin file to DIRID11 ", true},
        {pathToCapsule + L"\\" + infFile, staging + L"\\" + infFile,
         L"Copy failed for .inf file, error=", L"Successfully copied .inf file to DIRID11 ", true},
        {sourceFolder + kDriverStoreToolFile, staging + L"\\" + kDriverStoreToolFile,
         L"Copy failed for KEL executable, error=", L"Successfully copied KEL executable DIRID11 ",
         true},
        {sourceFolder + kDriverStoreToastFile, staging + L"\\" + kDriverStoreToastFile,
         L"Copy failed for Toast Activator, error=",
         L"Successfully copied Toast Activator DIRID11 ", true},
        {sourceFolder + logoFile, staging + L"\\" + logoFile, L"Copy failed for QV Logo, error=",
         L"Successfully copied QV Logo DIRID11 ", false},
    };
    bool staged = RemoveEarlierCapsules(staging);
    for (const DriverStoreCopy& copy : copies) {
        const DWORD error = CopyStagedFile(copy.source, copy.destination);
        if (error == ERROR_SUCCESS) {
            Log(copy.successLine);
            continue;
        }
        Log(copy.failureText + std::to_wstring(error));
        if (copy.required) {
            staged = false;
        }
        ReportCopyFailure(L"", copy.source, copy.destination, error);
    }
    return staged;
}

// Copies the tool files from the service executable's folder beside the capsule. Every copy is
// tried; false when the tool or the activator failed.
bool StageIntoFirmwareFolder(const std::wstring& pathToCapsule, const PathParts& executable,
                             const FlashToolNames& names) {
    bool staged = true;

    const std::wstring toolSource =
        MakePath(executable.drive, executable.directory, names.tool, executable.extension);
    const std::wstring toolDestination = pathToCapsule + L"\\" + names.tool + executable.extension;
    DWORD error = CopyStagedFile(toolSource, toolDestination);
    if (error != ERROR_SUCCESS) {
        Log(L"Copy failed at line 480" + toolDestination);
        staged = false;
        ReportCopyFailure(L"", toolSource, toolDestination, error);
    }

    const std::wstring toastSource =
        MakePath(executable.drive, executable.directory, names.toast, executable.extension);
    const std::wstring toastDestination =
        pathToCapsule + L"\\" + names.toast + executable.extension;
    error = CopyStagedFile(toastSource, toastDestination);
    if (error != ERROR_SUCCESS) {
        staged = false;
        ReportCopyFailure(L"2", toastSource, toastDestination, error);
    }

    // The logo only decorates the tool's notification: a missing one does not stop the flash.
    const std::wstring logoSource =
        MakePath(executable.drive, executable.directory, logoFileName, L"");
    const std::wstring logoDestination = pathToCapsule + L"\\" + logoFileName;
    error = CopyStagedFile(logoSource, logoDestination);
    if (error != ERROR_SUCCESS) {
        ReportCopyFailure(L"3", logoSource, logoDestination, error);
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

// The attempt on record: LastBinFile names the capsule and UpgradeStatus is 1 from immediately
// before the tool starts. Until then both values stay as they were, so a process that dies
// while staging leaves the capsule due.
class AttemptRecord {
public:
    explicit AttemptRecord(const std::wstring& capsule) : capsule_(capsule) {}

    // Writes LastBinFile, then UpgradeStatus 1. When a write fails it is reported, nothing stays
    // recorded, and false is returned with the write's error as the last error.
    bool Record() {
        std::wstring previous;
        if (ReadServiceString(kLastBinFileValueName, previous)) {
            previous_ = previous.c_str();
        }
        if (!WriteServiceString(kLastBinFileValueName, capsule_)) {
            return Refuse(L"WriteServiceString", ::GetLastError());
        }
        if (!WriteUpgradeStatus(UpgradeStatus::kInProgress)) {
            const DWORD error = ::GetLastError();
            RestoreLastBinFile();
            return Refuse(L"WriteServiceDword", error);
        }
        recorded_ = true;
        return true;
    }

    // Takes a recorded attempt back after a tool that never ran or that the stop ended:
    // UpgradeStatus 0 and LastBinFile as before, so the capsule is offered again.
    void Withdraw() {
        Log(L"Attempt not recorded: KEL did not run to its end");
        if (!recorded_) {
            return;
        }
        recorded_ = false;
        RestoreLastBinFile();
        SetFinalStatus(UpgradeStatus::kCleared);
    }

private:
    static bool Refuse(const wchar_t* writer, DWORD error) {
        ReportErrorEvent(MSG_CALL_FAILED, writer, Signed(error).c_str());
        Log(std::wstring(L"Unable to record the attempt: ") + writer + L" error=" +
            std::to_wstring(error));
        ::SetLastError(error);
        return false;
    }

    void RestoreLastBinFile() const {
        if (previous_) {
            WriteServiceString(kLastBinFileValueName, *previous_);
        } else {
            DeleteServiceValue(kLastBinFileValueName);
        }
    }

    const std::wstring& capsule_;
    std::optional<std::wstring> previous_;
    bool recorded_ = false;
};

std::wstring Hex(LONG result) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// Reports a file that failed the signature check; false, with |result| as the last error.
bool Unverified(const std::wstring& path, LONG result) {
    ReportErrorEvent(MSG_CAPSULE_UNVERIFIED, path.c_str(), Hex(result).c_str());
    Log(L"Unable to verify " + path + L", result=" + Hex(result));
    ::SetLastError(static_cast<DWORD>(result));
    return false;
}

// The service starts the tool with the user's elevated token: the staged tool and activator
// must carry valid signatures of the certificate that signed the service's own executable.
// Each checked file stays open in |held|, so nobody can replace it before the tool starts.
bool VerifyStagedTools(const std::wstring (&files)[2], std::vector<win::UniqueFileHandle>& held) {
    std::wstring own;
    PathParts parts;
    DWORD error = ERROR_SUCCESS;
    if (!GetServiceExecutable(own, parts, error)) {
        return Unverified(own, static_cast<LONG>(error));
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
            held.clear();
            return Unverified(file, result);
        }
        held.push_back(std::move(handle));
    }
    return true;
}

bool IsHandedOver(UpgradeStatus status) {
    return status == UpgradeStatus::kInProgress || status == UpgradeStatus::kDone;
}

// The end of a call that could not stage the tool: nothing was recorded.
bool EndWithoutLaunch() {
    Log(L"BIOS already upgraded");
    return false;
}

}  // namespace

FlashToolNames ChooseToolNames(const std::wstring& executablePath) {
    DWORD type = 0;
    if (!::GetBinaryTypeW(executablePath.c_str(), &type) || type == SCS_64BIT_BINARY) {
        return {toolBaseName + L"64", toastBaseName + L"64"};
    }
    return {toolBaseName, toastBaseName};
}

bool Kel::UpgradeFirmware(const std::wstring& binaryName, HANDLE stopEvent, bool& rebootRequired) {
    // The status on entry belongs to the previous attempt and decides nothing here: this one is
    // recorded just before its tool starts.
    Log(L"Entered UpgradeFirmware() - ");

    const size_t lastBackslash = binaryName.rfind(L'\\');
    // The service log of every capsule update starts afresh.
    DeleteOldLogFile();
    Log(L"Starting new capsule update - old log file deleted");

    // A capsule path without a folder (or with one too long for its buffer) names nothing the
    // service could stage, in either mode: the tool is never run for a capsule it did not stage.
    if (lastBackslash == std::wstring::npos || !Fits(binaryName.substr(0, lastBackslash))) {
        const std::wstring text = L"Invalid binaryName: \"" + binaryName + L"\"";
        ReportErrorEvent(MSG_CALL_FAILED, L"UpgradeFirmware", text.c_str());
        return EndWithoutLaunch();
    }
    const std::wstring pathToCapsule = binaryName.substr(0, lastBackslash);

    // The staging folder also holds the log and the tool's TEMP, in both modes: one that an
    // ordinary user could own or link is not used.
    if (EnsureDirectory(firmwareStagingFolder) != 0) {
        return EndWithoutLaunch();
    }
    const bool driverStoreMode = searchDriverStore;
    std::wstring toolFolder;
    std::wstring toolFile;
    std::wstring toastFile;
    if (driverStoreMode) {
        Log(L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ");
        if (driverStorePath[0] == L'\0') {
            BuildFwPathDIRID13();
        }
        toolFolder = firmwareStagingFolder;
        toolFile = kDriverStoreToolFile;
        toastFile = kDriverStoreToastFile;
        if (!SamePath(driverStorePath, pathToCapsule)) {
            std::wstring executablePath;
            PathParts executable;
            DWORD error = 0;
            if (!GetServiceExecutable(executablePath, executable, error)) {
                ReportErrorEvent(MSG_CALL_FAILED, L"GetModuleFileName failed",
                                 HexError(error).c_str());
                Log(L"GetModuleFileName failed: " + std::to_wstring(error));
                return false;
            }
            Log(L"Source directory (DIRID13 NYX service location): ");
            PathParts capsule;
            SplitPath(binaryName, capsule);  // overlong parts fail their copies below
            if (!StageFromDriverStore(pathToCapsule, executable, capsule)) {
                return EndWithoutLaunch();
            }
        }
    } else {
        Log(L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " +
            pathToCapsule);
        toolFolder = pathToCapsule;
        const bool inFirmwareFolder = SamePath(GetFirmwareFolderPath(), pathToCapsule);
        if (EnsureDirectory(GetFirmwareFolderPath()) != 0 ||
            (!inFirmwareFolder && EnsureDirectory(toolFolder) != 0)) {
            return EndWithoutLaunch();
        }
        if (inFirmwareFolder) {
            // The tool is expected to lie in the firmware folder already.
            toolFile = toolBaseName + L".exe";
            toastFile = toastBaseName + L".exe";
        } else {
            std::wstring srcPath;
            PathParts executable;
            DWORD error = 0;
            if (!GetServiceExecutable(srcPath, executable, error)) {
                ReportErrorEvent(MSG_CALL_FAILED, L"GetModuleFileName failed. ",
                                 HexError(error).c_str());
                Log(L"bool Kel::UpgradeFirmware - GetModuleFileName failed: " +
                    std::to_wstring(error));
                return false;
            }
            Log(L"srcPath: " + srcPath);
            const FlashToolNames names = ChooseToolNames(srcPath);
            toolFile = names.tool + L".exe";
            toastFile = names.toast + L".exe";
            if (!StageIntoFirmwareFolder(pathToCapsule, executable, names)) {
                return EndWithoutLaunch();
            }
        }
    }

    Log(L"BIOS needs upgrade");
    AttemptRecord attempt(binaryName);
    LaunchControl launch;
    launch.beforeStart = [&] {
        // A stop that came during the search or the copies: the tool is not started at all.
        if (stopEvent != nullptr && ::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            Log(L"Service is stopping: KEL not started");
            ::SetLastError(ERROR_CANCELLED);
            return false;
        }
        const std::wstring checked[2] = {toolFolder + L"\\" + toolFile,
                                         toolFolder + L"\\" + toastFile};
        return VerifyStagedTools(checked, launch.heldUntilStarted) && attempt.Record();
    };
    UpgradeStatus stagingStatus = UpgradeStatus::kFailed;
    if (RunKel(toolFolder, toolFile, binaryName, stopEvent, rebootRequired, &launch)) {
        if (driverStoreMode) {
            Log(L"KEL is running");
        }
        stagingStatus = rebootRequired ? UpgradeStatus::kInProgress : UpgradeStatus::kDone;
    } else {
        const DWORD error = ::GetLastError();
        ReportErrorEvent(MSG_CALL_FAILED, L"RunKel", Signed(error).c_str());
        if (driverStoreMode) {
            Log(L"RunKel failed ");
        }
        // The tool's own failure is the attempt's; a tool that never started, or that the
        // service's stop ended, leaves no attempt behind.
        if (launch.run != ToolRun::kExited) {
            attempt.Withdraw();
            return false;
        }
    }
    SetFinalStatus(stagingStatus);
    return IsHandedOver(stagingStatus);
}
