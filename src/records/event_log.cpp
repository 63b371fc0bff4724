#include "records/event_log.h"

#include "win/event_reporter.h"
#include "win/unique_handle.h"

namespace {

// Registered before wWinMain and released by the destructor at process exit. It is written
// only during static initialisation, so the reporting functions read it without a lock.
const win::UniqueEventSource m_eventSource{::RegisterEventSourceW(nullptr, kServiceDisplayName)};

void Report(WORD type, DWORD eventId, const wchar_t* first, const wchar_t* second) {
    HANDLE source = m_eventSource.Get();
    if (source == nullptr) {
        return;
    }
    LPCWSTR strings[2] = {first, second};
    const WORD count = static_cast<WORD>((first != nullptr ? 1 : 0) + (second != nullptr ? 1 : 0));
    win::CurrentEventReporter().Report(source, type, 0, eventId, nullptr, count, 0, strings,
                                       nullptr);
}

}  // namespace

HANDLE ServiceEventSource() {
    return m_eventSource.Get();
}

void ReportErrorEvent(DWORD eventId, const std::wstring& first, const std::wstring* second) {
    Report(EVENTLOG_ERROR_TYPE, eventId, first.c_str(),
           second != nullptr ? second->c_str() : nullptr);
}

void ReportErrorEvent(DWORD eventId, const wchar_t* first, const wchar_t* second) {
    Report(EVENTLOG_ERROR_TYPE, eventId, first, second);
}

void ReportInfoEvent(DWORD eventId, const std::wstring& first, const std::wstring* second) {
    Report(EVENTLOG_INFORMATION_TYPE, eventId, first.c_str(),
           second != nullptr ? second->c_str() : nullptr);
}

void ReportInfoEvent(DWORD eventId, const wchar_t* first, const wchar_t* second) {
    Report(EVENTLOG_INFORMATION_TYPE, eventId, first, second);
}

std::wstring Signed(DWORD value) {
    return std::to_wstring(static_cast<int>(value));
}
