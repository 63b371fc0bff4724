#include "records/service_state.h"

#include <cwchar>

#include "win/unique_handle.h"
#include "win/utf8.h"

namespace {

// Opens |subKey| below |root|, or stands for |root| itself when |subKey| is null. The owner
// closes only a key it opened.
class KeyAccess {
public:
    KeyAccess(HKEY root, const char* subKey) : key_(root) {
        if (subKey != nullptr) {
            HKEY opened = nullptr;
            status_ = ::RegOpenKeyA(root, subKey, &opened);
            if (status_ == ERROR_SUCCESS) {
                opened_.Reset(opened);
            }
            key_ = opened_.Get();
        }
    }
    bool IsOpen() const { return status_ == ERROR_SUCCESS; }
    LONG Status() const { return status_; }
    HKEY Get() const { return key_; }

private:
    win::UniqueRegKey opened_;
    HKEY key_;
    LONG status_ = ERROR_SUCCESS;
};

// Returns false with |status| as the thread's last error.
bool Fail(LONG status) {
    ::SetLastError(static_cast<DWORD>(status));
    return false;
}

// The registry answers ERROR_MORE_DATA when a value is bigger than the buffer: for a reader
// that asked for a known type that is a value of the wrong type or size.
bool FailRead(LONG status) {
    return Fail(status == ERROR_SUCCESS || status == ERROR_MORE_DATA ? ERROR_UNSUPPORTED_TYPE
                                                                     : status);
}

}  // namespace

bool RegReadDword(HKEY root, const char* subKey, const std::string& name, DWORD* value) {
    KeyAccess key(root, subKey);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    // Read into a local: a short value of another type would otherwise land in the caller's
    // preset.
    DWORD data = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    const LONG status = ::RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type,
                                           reinterpret_cast<BYTE*>(&data), &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data)) {
        return FailRead(status);
    }
    *value = data;
    return true;
}

bool RegReadString(HKEY root, const char* subKey, const std::string& name, std::wstring& value) {
    const std::wstring wideName = win::Utf8ToWide(name);
    KeyAccess key(root, subKey);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG status = ::RegQueryValueExW(key.Get(), wideName.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return Fail(status);
    }
    // One character more than the stored bytes hold, so the text is terminated even when it
    // was stored without its zero.
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD capacity = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status = ::RegQueryValueExW(key.Get(), wideName.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&text[0]), &capacity);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return FailRead(status);
    }
    value = std::move(text);
    return true;
}

bool RegWriteDword(HKEY root, const char* subKey, const std::string& name, DWORD value) {
    KeyAccess key(root, subKey);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    const LONG status = ::RegSetValueExA(key.Get(), name.c_str(), 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return status == ERROR_SUCCESS || Fail(status);
}

bool RegWriteString(HKEY root, const char* subKey, const std::string& name,
                    const std::wstring& value) {
    const std::wstring wideName = win::Utf8ToWide(name);
    KeyAccess key(root, subKey);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    // A text read back from the registry carries trailing zeros; only the text is stored.
    const size_t length = std::wcslen(value.c_str());
    const LONG status = ::RegSetValueExW(key.Get(), wideName.c_str(), 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(value.c_str()),
                                         static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
    return status == ERROR_SUCCESS || Fail(status);
}

void EnsureServiceKey() {
    HKEY raw = nullptr;
    if (::RegOpenKeyA(HKEY_LOCAL_MACHINE, kServiceKeyPath, &raw) == ERROR_SUCCESS) {
        win::UniqueRegKey opened(raw);
        return;
    }
    raw = nullptr;
    if (::RegCreateKeyA(HKEY_LOCAL_MACHINE, kServiceKeyPath, &raw) == ERROR_SUCCESS) {
        win::UniqueRegKey created(raw);
    }
}

bool ReadServiceDword(const std::string& name, DWORD* value) {
    return RegReadDword(HKEY_LOCAL_MACHINE, kServiceKeyPath, name, value);
}

bool ReadServiceString(const std::string& name, std::wstring& value) {
    return RegReadString(HKEY_LOCAL_MACHINE, kServiceKeyPath, name, value);
}

bool WriteServiceDword(const std::string& name, DWORD value) {
    EnsureServiceKey();
    return RegWriteDword(HKEY_LOCAL_MACHINE, kServiceKeyPath, name, value);
}

bool WriteServiceString(const std::string& name, std::wstring value) {
    EnsureServiceKey();
    return RegWriteString(HKEY_LOCAL_MACHINE, kServiceKeyPath, name, value);
}

bool DeleteServiceValue(const std::string& name) {
    KeyAccess key(HKEY_LOCAL_MACHINE, kServiceKeyPath);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    const LONG status = ::RegDeleteValueA(key.Get(), name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || Fail(status);
}

bool ReadServiceKeyWriteTime(FILETIME* lastWrite) {
    KeyAccess key(HKEY_LOCAL_MACHINE, kServiceKeyPath);
    if (!key.IsOpen()) {
        return Fail(key.Status());
    }
    const LONG status = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, lastWrite);
    return status == ERROR_SUCCESS || Fail(status);
}

bool ReadUpgradeStatus(UpgradeStatus* status) {
    DWORD value = 0;
    if (!ReadServiceDword(kUpgradeStatusValueName, &value)) {
        return false;
    }
    *status = static_cast<UpgradeStatus>(value);
    return true;
}

bool WriteUpgradeStatus(UpgradeStatus status) {
    return WriteServiceDword(kUpgradeStatusValueName, static_cast<DWORD>(status));
}
