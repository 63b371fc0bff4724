// Status reports to the service control manager.
#pragma once

#include <windows.h>

// Reports |state| with |exitCode| (as both Win32 and service-specific exit code) and
// |waitHint| through Nyx::m_context.statusHandle. Every report accepts stop, shutdown and
// session change. Returns 0 or the error of SetServiceStatus; callers ignore it.
DWORD ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// Runs Nyx::ServiceLoop on a thread of its own with Nyx::m_context until the stop event is set
// and the loop has returned (or 20 s have passed since the stop), or until the loop ends by a
// fault. Returns the exit code to
// report with STOPPED: 0; the error when the thread could not start; or the loop's result
// (ERROR_EXCEPTION_IN_SERVICE) when an exception ended it, at once, without waiting for a stop.
DWORD RunLoopUntilStopped();
