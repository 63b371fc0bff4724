// The record the logger hands to its outputs, and the base class of those outputs.
#pragma once

#include <windows.h>

#include <string>

#include "logging/log_format.h"

namespace QV {
namespace Shared {

// An output of the logger: the event log, a file, the debugger or the console.
//
// A listener admits the levels from MinLevel() to MaxLevel(), both inclusive: "Error" to
// "Error" unless the policy ("MinLogLevel", "MaxLogLevel") or the default minimum given to
// the constructor say otherwise. The logger calls Write only for admitted levels, on the
// thread that logged; each listener protects its own output. Listeners are created by
// CqvLog::Create and owned by the logger.
class CqvLogListener {
public:
    // One logged message, with the time and thread of its creation. A copy keeps both, so a
    // record written later (by the file listener's writer thread) still shows when and where
    // it was logged. A record is used by one thread at a time.
    class LogData {
    public:
        // Takes the local time and the calling thread's ID now. |function| must not be null.
        LogData(int level, const char* function, std::wstring message);
        LogData(const LogData&) = default;
        LogData(LogData&&) = default;
        LogData& operator=(const LogData&) = default;
        LogData& operator=(LogData&&) = default;
        virtual ~LogData() = default;

        // The record as one line (see FormatLogLine), without a line break. Built on the first
        // call and cached; the reference stays valid as long as the record.
        const std::wstring& Format() const;

        const std::string& Function() const noexcept { return function; }
        const std::wstring& Message() const noexcept { return message; }
        int Level() const noexcept { return level; }
        const SYSTEMTIME& Time() const noexcept { return time; }
        DWORD ThreadId() const noexcept { return thread; }

    private:
        std::string function;
        std::wstring message;
        int level;
        SYSTEMTIME time;
        DWORD thread;
        // Filled by Format; a record formatted by one listener is not formatted again.
        mutable std::wstring levelName;
        mutable std::wstring line;
    };

    // Sets the range to |defaultMinLevel| .. "Error", then applies the policy's
    // "MinLogLevel"/"MaxLogLevel" when the product's policy key exists.
    explicit CqvLogListener(int defaultMinLevel);
    virtual ~CqvLogListener() = default;

    CqvLogListener(const CqvLogListener&) = delete;
    CqvLogListener& operator=(const CqvLogListener&) = delete;

    // Outputs |data|. Called on the logging thread with a level inside the listener's range;
    // never throws a failure of the output, only std::bad_alloc.
    virtual void Write(const LogData& data) = 0;

    // The listener's LogType flag.
    virtual unsigned int GetType() const = 0;

    int MinLevel() const noexcept { return minLevel; }
    int MaxLevel() const noexcept { return maxLevel; }

protected:
    int minLevel;
    int maxLevel;
};

}  // namespace Shared
}  // namespace QV
