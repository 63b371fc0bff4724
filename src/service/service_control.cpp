#include "service/service_control.h"

#include <string>

#include "engine/nyx.h"
#include "records/event_log.h"
#include "records/service_log.h"
#include "win/sdk_compat.h"
#include "win/unique_handle.h"

namespace {

// Stop, shutdown and session change (0x85), in every state: a logon makes the loop check
// again.
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
constexpr DWORD kPendingWaitHint = 3000;
// How long a stop waits for the loop thread to end.
constexpr DWORD kLoopStopTimeoutMs = 20000;

DWORD WINAPI LoopThreadEntry(LPVOID parameter) {
    // Nothing may leave a thread entry point by exception. The loop ends itself the normal way
    // on one; this only guards against one thrown while it does so.
    try {
        return Nyx::ServiceLoop(static_cast<ServiceContext*>(parameter));
    } catch (...) {
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}

// The stop and logon events stay open for the life of the process: the control handler may
// still run after STOPPED was reported. A later ServiceMain in the same process starts them
// unsignalled. Returns 0, or the error when the stop event could not be created.
DWORD PrepareServiceEvents() {
    DWORD error = 0;
    if (Nyx::m_serviceStopEvent == nullptr) {
        Nyx::m_serviceStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (Nyx::m_serviceStopEvent == nullptr) {
            error = ::GetLastError();
        }
    } else {
        ::ResetEvent(Nyx::m_serviceStopEvent);
    }
    // Without it the loop still runs; it only misses logons.
    if (Nyx::m_logonEvent == nullptr) {
        Nyx::m_logonEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    } else {
        ::ResetEvent(Nyx::m_logonEvent);
    }
    return error;
}

}  // namespace

DWORD RunLoopUntilStopped() {
    win::UniqueHandle loopThread(
        ::CreateThread(nullptr, 0, LoopThreadEntry, &Nyx::m_context, 0, nullptr));
    if (!loopThread) {
        const DWORD error = ::GetLastError();
        Log(L"could not start Nyx::ServiceLoop thread : GetLastError() = " +
            std::to_wstring(error));
        return error;
    }
    const HANDLE handles[2] = {Nyx::m_serviceStopEvent, loopThread.Get()};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        DWORD loopResult = 0;
        ::GetExitCodeThread(loopThread.Get(), &loopResult);
        if (loopResult != 0) {
            return loopResult;  // ended by a fault: stop now, so that recovery restarts it
        }
        // A start-up the loop abandoned leaves the service running idle until it is stopped.
        ::WaitForSingleObject(Nyx::m_serviceStopEvent, INFINITE);
    }
    // A loop held up in a call that cannot be interrupted must not hold the stop up for ever:
    // the record it may be writing survives the end of the process as a power cut would.
    if (::WaitForSingleObject(loopThread.Get(), kLoopStopTimeoutMs) == WAIT_TIMEOUT) {
        Log(L"ServiceLoop thread did not end in time, service stops without it");
    }
    return 0;
}

DWORD ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = kAcceptedControls;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwCheckPoint = 0;
    status.dwWaitHint = waitHint;
    if (!::SetServiceStatus(Nyx::m_context.statusHandle, &status)) {
        return ::GetLastError();
    }
    return 0;
}

namespace {

void RunServiceMain() {
    Log(L"void WINAPI Nyx::ServiceMain : ServiceMain entered");

    // The stop event exists before the control handler is registered, so that a stop
    // arriving during start-up is never lost.
    const DWORD createEventError = PrepareServiceEvents();

    Nyx::m_context = ServiceContext{nullptr, Nyx::m_serviceStopEvent, INVALID_HANDLE_VALUE, 0};
    Nyx::m_context.statusHandle =
        ::RegisterServiceCtrlHandlerExW(kServiceDisplayName, Nyx::ServiceHandler, &Nyx::m_context);
    if (Nyx::m_context.statusHandle == nullptr) {
        const DWORD error = ::GetLastError();
        Log(L"RegisterServiceCtrlHandlerEx failed with Error code: " + std::to_wstring(error));
        return;
    }

    ReportServiceStatus(SERVICE_START_PENDING, 0, kPendingWaitHint);
    Log(L"m_context.running status : " + std::to_wstring(Nyx::m_context.running));

    DWORD exitCode = 0;
    if (Nyx::m_serviceStopEvent != nullptr) {
        // A stop that arrived while starting has already been answered with stop-pending:
        // go straight to stopped, without running the loop.
        if (::WaitForSingleObject(Nyx::m_serviceStopEvent, 0) != WAIT_OBJECT_0) {
            ReportServiceStatus(SERVICE_RUNNING, 0, kPendingWaitHint);
            exitCode = RunLoopUntilStopped();
        }
    } else {
        Log(L"could not create NYX::m_serviceStopEvent : GetLastError() = " +
            std::to_wstring(createEventError));
    }

    ReportServiceStatus(SERVICE_STOPPED, exitCode, 0);
}

}  // namespace

void WINAPI Nyx::ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    // No exception may reach the dispatcher: one that escapes stops the service with an exit
    // code that lets the recovery settings restart it.
    try {
        RunServiceMain();
    } catch (...) {
        ReportServiceStatus(SERVICE_STOPPED, ERROR_EXCEPTION_IN_SERVICE, 0);
    }
}

DWORD WINAPI Nyx::ServiceHandler(DWORD control, DWORD eventType, LPVOID /*eventData*/,
                                 LPVOID /*context*/) {
    try {
        Log(L"DWORD WINAPI Nyx::ServiceHandler : control = " + std::to_wstring(control));
    } catch (...) {
        // Logging is a courtesy here: the control is still carried out.
    }
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            ReportServiceStatus(SERVICE_STOP_PENDING, 0, kPendingWaitHint);
            if (m_serviceStopEvent != nullptr) {
                ::SetEvent(m_serviceStopEvent);
            }
            return NO_ERROR;
        case SERVICE_CONTROL_SESSIONCHANGE:
            if (eventType != WTS_SESSION_LOGON) {
                return ERROR_CALL_NOT_IMPLEMENTED;
            }
            if (m_logonEvent != nullptr) {
                ::SetEvent(m_logonEvent);
            }
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}
