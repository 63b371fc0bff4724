#include "capsule/kel_launch.h"

#include <userenv.h>

#include <utility>

#include "capsule/firmware_staging.h"
#include "capsule/kel.h"
#include "capsule/wts_info.h"
#include "records/crash_point.h"
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

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

std::wstring Signed(DWORD value) {
    return std::to_wstring(static_cast<int>(value));
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

// The tool's environment: the machine's block, the user's name and domain, and TEMP and TMP in
// a folder that only SYSTEM and Administrators can use (made empty here). The tool runs
// elevated: a variable the user's processes can set, a folder on the user's Path, or a file they
// swap in their temporary folder would run or be read with that elevation. Returns
// ERROR_SUCCESS or the error of the step that failed.
DWORD PrepareToolEnvironment(const wchar_t* user, std::wstring& block) {
    UniqueEnvironmentBlock machine;
    if (!::CreateEnvironmentBlock(machine.Put(), nullptr, FALSE)) {
        return ::GetLastError();
    }
    const std::wstring temp = firmwareStagingFolder + L"\\Temp";
    if (const DWORD verdict = win::CheckFolder(firmwareStagingFolder)) {
        return verdict;  // nothing is removed or created through a link
    }
    if (!win::RemoveFolderTree(temp) ||
        !win::CreateProtectedFolder(temp, win::FolderReaders::kNobody)) {
        return ::GetLastError();
    }
    block = BuildToolEnvironment(static_cast<const wchar_t*>(machine.Get()), user, temp);
    return ERROR_SUCCESS;
}

// Ends a failed launch: |error| becomes the launch's error and the thread's last error.
bool FailWith(LaunchControl& launch, DWORD error) {
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

    // For a user with a split administrator token the tool needs the full one.
    if (win::UniqueHandle linked = GetLinkedToken(token.Get())) {
        token = std::move(linked);
    }

    UniqueEnvironmentBlock environment;
    std::wstring toolEnvironment;
    DWORD prepared = ERROR_SUCCESS;
    if (!::CreateEnvironmentBlock(environment.Put(), token.Get(), FALSE) ||
        (prepared = PrepareToolEnvironment(static_cast<const wchar_t*>(environment.Get()),
                                           toolEnvironment)) != ERROR_SUCCESS) {
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
            launch.heldUntilStarted.clear();
            return FailWith(launch, refused);  // the hook reported why
        }
    }
    std::wstring mutableCommandLine = commandLine;  // CreateProcessAsUserW may write to it
    if (!::CreateProcessAsUserW(
            token.Get(), applicationPath.c_str(), &mutableCommandLine[0], nullptr, nullptr, FALSE,
            CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_CONSOLE, &toolEnvironment[0],
            workingFolder.c_str(), &startup, &processInfo)) {
        const DWORD error = ::GetLastError();
        launch.heldUntilStarted.clear();
        LogCreateProcessFailure(error);
        return FailWith(launch, error);
    }
    launch.heldUntilStarted.clear();
    const win::UniqueHandle process(processInfo.hProcess);
    const win::UniqueHandle thread(processInfo.hThread);
    Log(L"LaunchWithUi - CreateProcessAsUser succeeded");
    ReachCrashPoint(CrashPoint::kLaunched);

    return WaitForTool(process.Get(), stopEvent, exitCode, rebootRequired, launch);
}

bool RunKel(const std::wstring& folder, const std::wstring& toolFile,
            const std::wstring& /*binaryName*/, HANDLE stopEvent, bool& rebootRequired,
            LaunchControl* control) {
    rebootRequired = false;
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
