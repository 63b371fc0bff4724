// Status reports to the service control manager.
#pragma once

#include <windows.h>

// Reports |state| with |exitCode| (as both Win32 and service-specific exit code) and
// |waitHint| through Nyx::m_context.statusHandle. Every report accepts stop, shutdown and
// session change. Returns 0 or the error of SetServiceStatus; callers ignore it.
DWORD ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);
