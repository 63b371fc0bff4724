#include "logging/log_listener.h"

#include <utility>

#include "logging/log_policy.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {

CqvLogListener::LogData::LogData(int level, const char* function, std::wstring message)
    : function(function), message(std::move(message)), level(level), time(), thread(0) {
    ::GetLocalTime(&time);
    thread = ::GetCurrentThreadId();
}

const std::wstring& CqvLogListener::LogData::Format() const {
    if (!line.empty()) {
        return line;
    }
    if (levelName.empty()) {
        levelName = LogLevelName(level);
    }
    const LogTime localTime{time.wYear,   time.wMonth,  time.wDay,         time.wHour,
                            time.wMinute, time.wSecond, time.wMilliseconds};
    line = FormatLogLine(localTime, thread, levelName, function, message);
    return line;
}

CqvLogListener::CqvLogListener(int defaultMinLevel)
    : minLevel(defaultMinLevel), maxLevel(LogLevelError) {
    win::UniqueRegKey productKey;
    win::UniqueRegKey moduleKey;
    if (OpenPolicyKeys(productKey, moduleKey)) {
        ReadLevelRange(productKey.Get(), moduleKey.Get(), minLevel, maxLevel);
    }
}

}  // namespace Shared
}  // namespace QV
