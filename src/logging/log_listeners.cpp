#include "logging/log_listeners.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "win/event_reporter.h"

namespace QV {
namespace Shared {

void CqvLogListenerConsole::Write(const LogData& data) {
    std::fwprintf(stdout, L"%hs : %ls\r\n", data.Function().c_str(), data.Message().c_str());
}

void CqvLogListenerDebug::Write(const LogData& data) {
    std::vector<wchar_t> text(data.Function().size() + data.Message().size() + 10, L'\0');
    std::swprintf(text.data(), text.size(), L"%hs : %ls\r\n", data.Function().c_str(),
                  data.Message().c_str());
    text.back() = L'\0';
    ::OutputDebugStringW(text.data());
}

CqvLogListenerEvent::CqvLogListenerEvent(int defaultMinLevel, HANDLE eventSource)
    : CqvLogListener(defaultMinLevel), eventSource(eventSource) {}

void CqvLogListenerEvent::Write(const LogData& data) {
    const int level = data.Level();
    if (level < minLevel || level > LogLevelError) {
        return;
    }
    WORD type = EVENTLOG_INFORMATION_TYPE;
    if (level == LogLevelWarning) {
        type = EVENTLOG_WARNING_TYPE;
    } else if (level == LogLevelError) {
        type = EVENTLOG_ERROR_TYPE;
    }
    LPCWSTR strings[1] = {data.Format().c_str()};
    win::CurrentEventReporter().Report(eventSource.Get(), type, 0, static_cast<DWORD>(level),
                                       nullptr, 1, 0, strings, nullptr);
}

}  // namespace Shared
}  // namespace QV
