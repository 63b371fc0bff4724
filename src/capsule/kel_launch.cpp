#include "capsule/kel_launch.h"

#include <userenv.h>

#include <utility>

#include "capsule/kel.h"
#include "capsule/wts_info.h"
#include "records/crash_point.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"
#include "win/wts_functions.h"

namespace {

// ERROR_ELEVATION_REQUIRED, which MinGW-w64's winerror.h lacks.
constexpr DWORD kErrorElevationRequired = 740;
// How long a terminated tool may take to end before its exit code is read.
constexpr DWORD kTerminationWaitMs = 5000;

struct EnvironmentBlockTraits {  // CreateEnvironmentBlock
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type block) { ::DestroyEnvironmentBlock(block); }
};
using UniqueEnvironmentBlock = win::UniqueAny<EnvironmentBlockTraits>;

void ReportCallFailed(const wchar_t* call, const std::wstring& result) {
    ReportErrorEvent(MSG_CALL_FAILED, call, result.c_str());
}

std::wstring Unsigned(DWORD value) {
    return std::to_wstring(value);
}

void LogCreateProcessFailure(DWORD error) {
    ReportCallFailed(L"CreateProcessAsUser", Signed(error));
    Log(L"LaunchWithUi - CreateProcessAsUser FAILED with error: " + Unsigned(error));
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            Log(L"LaunchWithUi - ERROR_FILE_NOT_FOUND: The system cannot find the file specified");
            break;
        case ERROR_PATH_NOT_FOUND:
            Log(L"LaunchWithUi - ERROR_PATH_NOT_FOUND: The system cannot find the path specified");
            break;
        case ERROR_ACCESS_DENIED:
            Log(L"LaunchWithUi - ERROR_ACCESS_DENIED: Access is denied");
            break;
        case kErrorElevationRequired:
            Log(L"LaunchWithUi - ERROR_ELEVATION_REQUIRED: The requested operation requires "
                L"elevation");
            break;
        default:
            Log(L"LaunchWithUi - Unknown error code: " + Unsigned(error));
            break;
    }
}

// A fresh, empty folder below |parent| (created protected when missing, in a folder the caller
// has judged) for one launch's TEMP and TMP: "<parent>\<n>", the first number not taken. Earlier
// launches' folders are removed best effort: one that a process still holds stays, and blocks
// nothing. ERROR_SUCCESS or the error.
DWORD CreateLaunchTemp(const std::wstring& parent, std::wstring& temp) {
    if (::GetFileAttributesW(parent.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !win::CreateProtectedFolder(parent, win::FolderReaders::kNobody) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return ::GetLastError();
    }
    // The folders above were judged by the caller; nothing is removed or created through a link.
    if (const DWORD verdict = win::FolderJudge().JudgeOne(parent)) {
        return verdict;
    }
    WIN32_FIND_DATAW entry;
    win::UniqueFindHandle find(::FindFirstFileW((parent + L"\\*").c_str(), &entry));
    while (find) {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            win::RemoveFolderTree(parent + L"\\" + name);
        }
        if (!::FindNextFileW(find.Get(), &entry)) {
            break;
        }
    }
    constexpr unsigned kMaxFolders = 1000;
    for (unsigned n = 0; n < kMaxFolders; ++n) {
        temp = parent + L"\\" + std::to_wstring(n);
        if (win::CreateProtectedFolder(temp, win::FolderReaders::kNobody)) {
            return ERROR_SUCCESS;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            return error;
        }
    }
    return ERROR_ALREADY_EXISTS;
}

// The account |token| belongs to, as the token says (the user's own registry could say anything);
// empty texts when it cannot be told.
ToolAccount AccountOf(HANDLE token) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD returned = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &returned)) {
        return ToolAccount{};
    }
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!::LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name,
                             &nameLength, domain, &domainLength, &use)) {
        return ToolAccount{};
    }
    return ToolAccount{name, domain};
}

// The tool's environment: the machine's block with the system's folders as Path, the name and
// domain of the token's account, and TEMP and TMP in a fresh folder that only SYSTEM and
// Administrators can use. The tool runs elevated: a variable the user's processes can set, a
// folder on the Path others may write, or a file they swap in a temporary folder would run or be
// read with that elevation. Returns ERROR_SUCCESS or the error of the step that failed.
DWORD PrepareToolEnvironment(HANDLE token, const std::wstring& stagingFolder, std::wstring& block) {
    UniqueEnvironmentBlock machine;
    if (!::CreateEnvironmentBlock(machine.Put(), nullptr, FALSE)) {
        return ::GetLastError();
    }
    wchar_t system[MAX_PATH] = {};
    wchar_t windows[MAX_PATH] = {};
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT windowsLength = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || windowsLength == 0 ||
        windowsLength >= MAX_PATH) {
        return systemLength == 0 || windowsLength == 0 ? ::GetLastError()
                                                       : ERROR_FILENAME_EXCED_RANGE;
    }
    const std::wstring staging =
        stagingFolder.empty() ? StagingFolderIn(SystemDirectory()) : stagingFolder;
    if (const DWORD verdict = win::CheckFolder(staging)) {
        return verdict;
    }
    std::wstring temp;
    if (const DWORD error = CreateLaunchTemp(staging + L"\\Temp", temp)) {
        return error;
    }
    block = BuildToolEnvironment(static_cast<const wchar_t*>(machine.Get()), AccountOf(token),
                                 SystemToolPath(system, windows), temp);
    return ERROR_SUCCESS;
}

// The token the tool runs with: the session's own, or its linked full token when the session's is
// the limited half of a split administrator token (taking the linked token of a full token would
// give the limited one). Empty with ERROR_ELEVATION_REQUIRED when the chosen token is not
// elevated: a standard user's tool could not flash, and would only spend a launch.
win::UniqueHandle ElevatedToken(win::UniqueHandle token, DWORD& error) {
    const win::WtsFunctions& wts = win::CurrentWtsFunctions();
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD returned = 0;
    if (wts.getTokenInformation(token.Get(), TokenElevationType, &type, sizeof(type), &returned) &&
        type == TokenElevationTypeLimited) {
        if (win::UniqueHandle linked = GetLinkedToken(token.Get())) {
            token = std::move(linked);
        }
    }
    TOKEN_ELEVATION elevation{};
    if (!wts.getTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation),
                                 &returned) ||
        elevation.TokenIsElevated == 0) {
        error = kErrorElevationRequired;
        return win::UniqueHandle();
    }
    return token;
}

// Ends a failed launch: the held files are let go, |error| becomes the launch's error and the
// thread's last error.
bool FailWith(LaunchControl& launch, DWORD error) {
    launch.heldUntilStarted.clear();
    launch.error = error;
    ::SetLastError(error);
    return false;
}

// Ends the tool the service's stop interrupted. A tool that exited with 0 or 3010 in the moment
// before it was terminated counts as exited: the update it reported is not thrown away.
bool Interrupt(HANDLE process) {
    if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(process, 0xFFFFFFFF);
        ::WaitForSingleObject(process, kTerminationWaitMs);
    }
    DWORD exitCode = 0;
    return ::GetExitCodeProcess(process, &exitCode) &&
           (exitCode == 0 || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED);
}

// Waits for the running tool and turns its exit code into the launch's result.
bool WaitForTool(HANDLE process, HANDLE stopEvent, DWORD& exitCode, bool& rebootRequired,
                 LaunchControl& launch) {
    const HANDLE handles[2] = {process, stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    const DWORD waited = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (waited != WAIT_OBJECT_0) {
        // The service is stopping (or the wait broke): the tool must not outlive the service.
        const DWORD error = waited == WAIT_FAILED ? ::GetLastError() : ERROR_CANCELLED;
        if (!Interrupt(process)) {
            ReportCallFailed(L"RunKel", L"KEL cancelled while running.");
            Log(L"KEL cancelled while running");
            launch.run = ToolRun::kCancelled;
            return FailWith(launch, error);
        }
    }
    launch.run = ToolRun::kExited;
    if (!::GetExitCodeProcess(process, &exitCode)) {
        const DWORD error = ::GetLastError();
        ReportCallFailed(L"GetExitCodeProcess", Signed(error));
        Log(L"bool Kel::LaunchWithUi - GetExitCodeProcess error with Error code: " +
            Unsigned(error));
        return FailWith(launch, error);
    }
    if (exitCode == 0) {
        return true;
    }
    if (exitCode == ERROR_SUCCESS_REBOOT_REQUIRED) {
        ReportInfoEvent(MSG_REBOOT_REQUIRED);
        rebootRequired = true;
        return true;
    }
    ReportCallFailed(L"KEL", Signed(exitCode));
    return FailWith(launch, exitCode);
}

}  // namespace

win::UniqueHandle GetLinkedToken(HANDLE token) {
    TOKEN_LINKED_TOKEN linked{};
    DWORD returned = 0;
    if (!::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(HANDLE), &returned)) {
        return win::UniqueHandle();
    }
    return win::UniqueHandle(linked.LinkedToken);
}

bool Kel::LaunchWithUi(const std::wstring& workingFolder, const std::wstring& applicationPath,
                       const std::wstring& commandLine, HANDLE stopEvent, DWORD& exitCode,
                       bool& rebootRequired, LaunchControl* control) {
    LaunchControl noControl;
    LaunchControl& launch = control != nullptr ? *control : noControl;
    launch.run = ToolRun::kNotStarted;
    launch.error = ERROR_SUCCESS;
    const WtsInfo session;
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION processInfo{};

    win::UniqueHandle token = session.GetSessionUserToken();
    if (!token) {
        const DWORD error = ::GetLastError();
        ReportCallFailed(L"GetSessionUserToken", Signed(error));
        Log(L"bool Kel::LaunchWithUi - GetSessionUserToken error with Error code: " +
            Unsigned(error));
        return FailWith(launch, error);
    }

    DWORD refused = ERROR_SUCCESS;
    token = ElevatedToken(std::move(token), refused);
    if (!token) {
        LogCreateProcessFailure(refused);
        return FailWith(launch, refused);
    }

    UniqueEnvironmentBlock environment;
    std::wstring toolEnvironment;
    DWORD prepared = ERROR_SUCCESS;
    if (!::CreateEnvironmentBlock(environment.Put(), token.Get(), FALSE) ||
        (prepared = PrepareToolEnvironment(token.Get(), launch.stagingFolder, toolEnvironment)) !=
            ERROR_SUCCESS) {
        const DWORD error = prepared != ERROR_SUCCESS ? prepared : ::GetLastError();
        ReportCallFailed(L"CreateEnvironmentBlock", Signed(error));
        Log(L"bool Kel::LaunchWithUi - CreateEnvironmentBlock error with Error code: " +
            Unsigned(error));
        return FailWith(launch, error);
    }

    // The path and command line live in fixed buffers of the tool's contract: one that does not
    // fit is refused rather than cut into another path.
    if (applicationPath.size() >= kKelPathCapacity || commandLine.size() >= kKelPathCapacity) {
        LogCreateProcessFailure(ERROR_FILENAME_EXCED_RANGE);
        return FailWith(launch, ERROR_FILENAME_EXCED_RANGE);
    }
    if (launch.beforeStart) {
        if (const DWORD refused = launch.beforeStart()) {
            return FailWith(launch, refused);  // the hook reported why
        }
    }
    std::wstring mutableCommandLine = commandLine;  // CreateProcessAsUserW may write to it
    if (!::CreateProcessAsUserW(
            token.Get(), applicationPath.c_str(), &mutableCommandLine[0], nullptr, nullptr, FALSE,
            CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_CONSOLE | CREATE_SUSPENDED, &toolEnvironment[0],
            workingFolder.c_str(), &startup, &processInfo)) {
        const DWORD error = ::GetLastError();
        LogCreateProcessFailure(error);
        return FailWith(launch, error);
    }
    const win::UniqueHandle process(processInfo.hProcess);
    const win::UniqueHandle thread(processInfo.hThread);
    // The tool exists but has not run: only now may the attempt count it. Whatever ends the
    // launch before the resume, an exception included, ends the suspended process too.
    struct SuspendedTool {
        HANDLE process;
        bool resumed = false;
        ~SuspendedTool() {
            if (!resumed) {
                ::TerminateProcess(process, ERROR_CANCELLED);
            }
        }
    } suspended{process.Get()};
    const DWORD vetoed = launch.beforeResume ? launch.beforeResume() : ERROR_SUCCESS;
    if (vetoed != ERROR_SUCCESS || ::ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
        const DWORD error = vetoed != ERROR_SUCCESS ? vetoed : ::GetLastError();
        ::TerminateProcess(process.Get(), error);
        ::WaitForSingleObject(process.Get(), kTerminationWaitMs);
        if (vetoed == ERROR_SUCCESS) {
            LogCreateProcessFailure(error);
        }
        return FailWith(launch, error);
    }
    suspended.resumed = true;
    launch.heldUntilStarted.clear();
    Log(L"LaunchWithUi - CreateProcessAsUser succeeded");
    ReachCrashPoint(CrashPoint::kLaunched);

    return WaitForTool(process.Get(), stopEvent, exitCode, rebootRequired, launch);
}

bool RunKel(const std::wstring& folder, const std::wstring& toolFile,
            const std::wstring& /*binaryName*/, HANDLE stopEvent, bool& rebootRequired,
            LaunchControl* control) {
    rebootRequired = false;
    // "methos", and the result written twice below, are the log's fixed texts: support staff and
    // their tools match them as they are.
    Log(L"Entered RunKel() methos" + folder);
    const std::wstring toolPath = folder + L"\\" + toolFile;
    const std::wstring commandLine = ToolCommandLine(toolPath);
    Log(L"Entered RUNKEL - ConfirmCapsule - ");

    DWORD exitCode = 0;
    const bool result = Kel::LaunchWithUi(folder, toolPath, commandLine, stopEvent, exitCode,
                                          rebootRequired, control);

    const std::wstring retval = std::to_wstring(result ? 1 : 0);
    Log(L"RunKel - retval - " + retval);
    Log(L"RunKel - retval -  " + retval);
    return result;
}
