#include "logging/logger.h"

#include <cstdarg>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "logging/log_listener_file.h"
#include "logging/log_listeners.h"
#include "logging/log_policy.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {

CqvLog* CqvLog::GetInstance() {
    // Never destroyed: records may still be logged while other static objects go away.
    static CqvLog* const instance = Create(LogLevelError, LogTypeEvent);
    return instance;
}

CqvLog* CqvLog::Create(int defaultLevel, unsigned int defaultTypes) {
    win::UniqueRegKey productKey;
    win::UniqueRegKey moduleKey;
    OpenPolicyKeys(productKey, moduleKey);
    std::wstring loggingType;
    const bool haveLoggingType = ReadLoggingType(productKey.Get(), moduleKey.Get(), loggingType);
    const unsigned int types =
        SelectLogTypes(defaultTypes, haveLoggingType ? loggingType.c_str() : nullptr);

    std::vector<std::unique_ptr<CqvLogListener>> created;
    if ((types & LogTypeEvent) != 0) {
        std::wstring fullPath;
        std::wstring baseName;
        GetModuleNames(fullPath, baseName);
        created.push_back(std::make_unique<CqvLogListenerEvent>(
            defaultLevel, ::RegisterEventSourceW(nullptr, baseName.c_str())));
    }
    if ((types & LogTypeFile) != 0) {
        created.push_back(std::make_unique<CqvLogListenerFile>(false, defaultLevel));
    }
    if ((types & LogTypeFileQueued) != 0) {
        created.push_back(std::make_unique<CqvLogListenerFile>(true, defaultLevel));
    }
    if ((types & LogTypeDebug) != 0) {
        created.push_back(std::make_unique<CqvLogListenerDebug>(defaultLevel));
    }
    if ((types & LogTypeConsole) != 0) {
        created.push_back(std::make_unique<CqvLogListenerConsole>(defaultLevel));
    }

    CqvLogListener* slots[kMaxListeners] = {};
    for (size_t i = 0; i < created.size(); ++i) {
        slots[i] = created[i].get();
    }
    auto* logger = new CqvLog(slots, static_cast<int>(created.size()), false, kDefaultBufferSize);
    for (auto& listener : created) {
        listener.release();  // now the logger's
    }
    return logger;
}

CqvLog::CqvLog(CqvLogListener** listeners, int listenerCount, bool validate, int bufferSize)
    : bufferSize(bufferSize) {
    if (validate) {
        if (listeners == nullptr) {
            throw CSharedException(L"Invalid parameter value. ppListeners is NULL.");
        }
        if (listenerCount <= 0) {
            throw CSharedException(L"Invalid parameter value. nListenerCount <= 0.");
        }
        if (listenerCount > kMaxListeners) {
            throw CSharedException(L"Invalid parameter value. nListenerCount > " +
                                   std::to_wstring(kMaxListeners) + L".");
        }
        for (int i = 0; i < listenerCount; ++i) {
            if (listeners[i] == nullptr) {
                throw CSharedException(L"Invalid parameter value. pListenerList[" +
                                       std::to_wstring(i) + L"] is NULL");
            }
        }
    }
    if (listeners != nullptr && listenerCount > 0) {
        this->listenerCount = listenerCount < kMaxListeners ? listenerCount : kMaxListeners;
        for (int i = 0; i < this->listenerCount; ++i) {
            this->listeners[i] = listeners[i];
            if (listeners[i] == nullptr) {
                continue;
            }
            if (listeners[i]->MinLevel() < minLevel) {
                minLevel = listeners[i]->MinLevel();
            }
            if (listeners[i]->MaxLevel() > maxLevel) {
                maxLevel = listeners[i]->MaxLevel();
            }
        }
    }
    if (this->bufferSize > kMaxBufferSize) {
        this->bufferSize = kMaxBufferSize;
    }
}

CqvLog::~CqvLog() {
    for (int i = 0; i < listenerCount; ++i) {
        delete listeners[i];
        listeners[i] = nullptr;
    }
}

bool CqvLog::Admits(int level) const noexcept {
    return listenerCount >= 1 && level >= minLevel && level <= maxLevel;
}

void CqvLog::Dispatch(const CqvLogListener::LogData& data) {
    for (int i = 0; i < listenerCount; ++i) {
        CqvLogListener* listener = listeners[i];
        if (listener != nullptr && listener->MinLevel() <= data.Level() &&
            data.Level() <= listener->MaxLevel()) {
            listener->Write(data);
        }
    }
}

void CqvLog::Log(int level, const char* function, const wchar_t* format, ...) {
    if (!Admits(level)) {
        return;
    }
    const DWORD lastError = ::GetLastError();
    // Nothing may escape into the caller, which may be a thread entry point or a callback:
    // a record that cannot be built or written is dropped.
    try {
        std::wstring message;
        if (format != nullptr && *format != L'\0' && bufferSize > 0) {
            std::vector<wchar_t> buffer(static_cast<size_t>(bufferSize), L'\0');
            va_list arguments;
            va_start(arguments, format);
            // C99 semantics (MinGW's own printf family): cuts at bufferSize - 1 characters
            // and always ends the text.
            vsnwprintf(buffer.data(), buffer.size(), format, arguments);
            va_end(arguments);
            buffer.back() = L'\0';
            message = buffer.data();
        }
        const CqvLogListener::LogData data(level, function, std::move(message));
        Dispatch(data);
    } catch (...) {
    }
    ::SetLastError(lastError);
}

void CqvLog::Log(int level, const char* function, const std::wstring& message) {
    if (!Admits(level)) {
        return;
    }
    const DWORD lastError = ::GetLastError();
    try {
        const CqvLogListener::LogData data(level, function, message);
        Dispatch(data);
    } catch (...) {
    }
    ::SetLastError(lastError);
}

}  // namespace Shared
}  // namespace QV
