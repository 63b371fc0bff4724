// The policy-configured logger of the shared library code.
//
// Code logs through the process-wide logger:
//
//   CqvLog::GetInstance()->Log(LogLevelError, "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo",
//                              L"GetSmbiosInfo failed with error %lu", error);
//
// Which outputs exist (event log, file, debugger, console) and which levels each admits is
// read from machine policy (see log_policy.h) once, when GetInstance is first called; a
// change of policy takes effect at the next start of the process. Without any policy only
// "Error" records are written, and only to the event log.
#pragma once

#include <string>

#include "logging/log_format.h"
#include "logging/log_listener.h"
#include "logging/shared_exception.h"

namespace QV {
namespace Shared {

class CqvLog {
public:
    // Most listeners one logger holds.
    static constexpr int kMaxListeners = 10;
    // Buffer size (wide characters) of a logger made by Create: messages of the formatting
    // Log are cut to 511 characters.
    static constexpr int kDefaultBufferSize = 512;
    // Largest buffer size a logger accepts; larger requests are lowered to it.
    static constexpr int kMaxBufferSize = 8096;

    // The process-wide logger, created on the first call by Create(LogLevelError,
    // LogTypeEvent) under the runtime's one-time initialisation guard. Any thread may call
    // it; every call returns the same pointer; the logger lives until the process ends.
    static CqvLog* GetInstance();

    // Reads the policy and makes a logger with one listener per selected type (see
    // SelectLogTypes), in the order event, direct file, queued file, debug, console, which is
    // also the order in which Log calls them. Each listener gets |defaultLevel| as its
    // default minimum level. The caller owns the result. Never throws CSharedException.
    static CqvLog* Create(int defaultLevel, unsigned int defaultTypes);

    // Takes over the |listenerCount| listeners of |listeners| (deleting them when the logger
    // is destroyed). With |validate| on it throws CSharedException for a null array, a count
    // below 1 or above kMaxListeners, or a null entry; on a throw the listeners stay the
    // caller's. Without validation the count must not exceed kMaxListeners and null entries
    // leave empty slots. |bufferSize| above kMaxBufferSize is lowered to it.
    CqvLog(CqvLogListener** listeners, int listenerCount, bool validate, int bufferSize);
    ~CqvLog();

    CqvLog(const CqvLog&) = delete;
    CqvLog& operator=(const CqvLog&) = delete;

    // Formats |format| printf-style with the arguments (at most buffer size - 1 characters;
    // a longer message is cut) and hands the record to every listener whose range admits
    // |level|. Wide formats follow C99: "%ls" for wide and "%hs" for narrow strings. A null or
    // empty |format| gives an empty message. A level outside MinLevel()..MaxLevel() returns
    // before anything is formatted. |function| names the caller and must not be null.
    // Any thread may call it; it takes no lock, reports no failure, throws nothing, and leaves
    // the thread's last error as it found it.
    void Log(int level, const char* function, const wchar_t* format, ...);

    // As above, for a message that is already finished: it is passed whole, never cut.
    void Log(int level, const char* function, const std::wstring& message);

    // The configuration, for inspection: listeners in calling order (a slot may be null when
    // the logger was built without validation), and the lowest minimum and highest maximum
    // of all listeners (the maximum is never below "Error").
    int ListenerCount() const noexcept { return listenerCount; }
    const CqvLogListener* Listener(int index) const noexcept { return listeners[index]; }
    int MinLevel() const noexcept { return minLevel; }
    int MaxLevel() const noexcept { return maxLevel; }

private:
    bool Admits(int level) const noexcept;
    void Dispatch(const CqvLogListener::LogData& data);

    int bufferSize;
    CqvLogListener* listeners[kMaxListeners] = {};
    int listenerCount = 0;
    int minLevel = LogLevelNever;
    int maxLevel = LogLevelError;
};

}  // namespace Shared
}  // namespace QV
