// The service's operations and its process-wide state, shared by the service host (which
// starts and stops the loop) and the update engine (which runs it).
#pragma once

#include <windows.h>

#include "versions/firmware_version.h"

// What the control side and the loop share.
struct ServiceContext {
    SERVICE_STATUS_HANDLE statusHandle;  // from RegisterServiceCtrlHandlerExW
    HANDLE stopEvent;                    // same handle as Nyx::m_serviceStopEvent
    // The loop's folder watch while it has one, else INVALID_HANDLE_VALUE. Owned and closed by
    // the loop, which shows it here; no one else closes it.
    HANDLE changeHandle;
    volatile LONG running;  // busy flag of the loop; changed by atomic exchange only
};

class Nyx {
public:
    // Hands the calling thread to the service control dispatcher. Returns 0 after the service
    // stopped, or the Windows error when the dispatcher could not be started (logged and
    // reported to the event log).
    static DWORD runService();

    // The service main function given to the dispatcher; runs on the dispatcher's thread.
    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

    // The extended control handler; runs on the main thread. Stop and shutdown report
    // stop-pending, set the stop event and answer NO_ERROR; a session change that is a logon
    // sets m_logonEvent and answers NO_ERROR; anything else answers
    // ERROR_CALL_NOT_IMPLEMENTED and changes nothing.
    static DWORD WINAPI ServiceHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                       LPVOID context);

    // The update loop; runs on its own thread (the only one that touches the folder watch,
    // the service's registry values and the flashing tool) until the stop event is set or
    // its start-up is abandoned. |context| may be null (logged, nothing else done). Returns 0;
    // or ERROR_EXCEPTION_IN_SERVICE when an exception ended it, after it closed its watch and
    // logged and reported its end as usual. No exception leaves it.
    static DWORD ServiceLoop(ServiceContext* context);

    // Is there a capsule of this machine's BIOS family that must be flashed now? Searches the
    // folder searchDriverStore selects; true only when the newest capsule is newer than both
    // the running BIOS and |lastAttempted|, and then |capsulePath| (a buffer of MAX_PATH wide
    // characters) holds its path. Logs every step and reports the comparison as events.
    // |retryCapsule| (may be null) names a capsule whose last attempt failed: found again with
    // exactly the last attempted version, it is due all the same, and the caller's retry rule
    // decides.
    static bool IsUpgradeNeeded(wchar_t* capsulePath, FirmwareVersion lastAttempted,
                                const wchar_t* retryCapsule = nullptr);

    // Opens a watch for file-name changes anywhere below |path|. A watch that cannot be opened
    // ends the whole process with the error as exit code (the service's recovery settings
    // then restart it), so the result is always a valid handle, owned by the caller.
    static HANDLE StartDirectoryMonitoring(const wchar_t* path);

    static ServiceContext m_context;
    // Manual reset; null until ServiceMain creates it, then open for the life of the process.
    static HANDLE m_serviceStopEvent;
    // Auto-reset; set by the control handler when a user logs on, so that the loop checks
    // again (the flashing tool needs a user at the desktop). Null until ServiceMain creates it,
    // then open for the life of the process.
    static HANDLE m_logonEvent;
};
