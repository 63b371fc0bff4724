// The listeners that write to the console, the debugger and the event log. They take no
// lock: each Write is one call into the system.
#pragma once

#include <windows.h>

#include "logging/log_listener.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {

// Writes "<function> : <message>" and CR LF to standard output (no time, no level).
class CqvLogListenerConsole final : public CqvLogListener {
public:
    explicit CqvLogListenerConsole(int defaultMinLevel) : CqvLogListener(defaultMinLevel) {}
    ~CqvLogListenerConsole() override = default;
    void Write(const LogData& data) override;
    unsigned int GetType() const override { return LogTypeConsole; }
};

// Passes "<function> : <message>" and CR LF to OutputDebugStringW (no time, no level).
class CqvLogListenerDebug final : public CqvLogListener {
public:
    explicit CqvLogListenerDebug(int defaultMinLevel) : CqvLogListener(defaultMinLevel) {}
    ~CqvLogListenerDebug() override = default;
    void Write(const LogData& data) override;
    unsigned int GetType() const override { return LogTypeDebug; }
};

// Reports each record to the event log through win::CurrentEventReporter(): category 0, the
// level number as event ID, the record's formatted line as the one insertion string, type
// warning for "Warning", error for "Error" and information below. Levels above "Error"
// ("Diag" and up) never reach the event log, whatever the listener's maximum. No message
// texts exist for these IDs: the insertion string is the whole content.
class CqvLogListenerEvent final : public CqvLogListener {
public:
    // Takes ownership of |eventSource| (from RegisterEventSourceW; null when registration
    // failed, in which case the reports fail and nothing reaches the log) and deregisters it
    // on destruction.
    CqvLogListenerEvent(int defaultMinLevel, HANDLE eventSource);
    ~CqvLogListenerEvent() override = default;
    void Write(const LogData& data) override;
    unsigned int GetType() const override { return LogTypeEvent; }

private:
    win::UniqueEventSource eventSource;
};

}  // namespace Shared
}  // namespace QV
