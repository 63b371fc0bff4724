// Reporting to the Windows Application event log under the source "QV NYX Service".
//
// The source is registered during static initialisation, before wWinMain runs, and
// deregistered at process exit. When registration failed every report is skipped silently.
// Any thread may report. Each function passes the event ID and up to two insertion strings;
// the string count is the number of non-null strings (a caller that gives a second string
// always gives a first). Failures of ReportEventW are ignored.
#pragma once

#include <windows.h>

#include <string>

// The name under which the service reports events and registers its control handler.
inline constexpr wchar_t kServiceDisplayName[] = L"QV NYX Service";

// Reports an event of type EVENTLOG_ERROR_TYPE, whatever the severity bits of |eventId|.
void ReportErrorEvent(DWORD eventId, const std::wstring& first,
                      const std::wstring* second = nullptr);
void ReportErrorEvent(DWORD eventId, const wchar_t* first = nullptr,
                      const wchar_t* second = nullptr);

// Reports an event of type EVENTLOG_INFORMATION_TYPE.
void ReportInfoEvent(DWORD eventId, const std::wstring& first,
                     const std::wstring* second = nullptr);
void ReportInfoEvent(DWORD eventId, const wchar_t* first = nullptr,
                     const wchar_t* second = nullptr);

// An error or exit code as the events show it: the 32 bits read as a signed decimal number, so
// that 0xFFFFFFFF reads "-1".
std::wstring Signed(DWORD value);

// The process-wide event source handle, or null when registration failed.
HANDLE ServiceEventSource();
