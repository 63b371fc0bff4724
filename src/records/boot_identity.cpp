#include "records/boot_identity.h"

#include <windows.h>
#include <objbase.h>

#include "records/service_state.h"
#include "win/unique_handle.h"

namespace {

constexpr wchar_t kIdentityValue[] = L"Identity";
constexpr DWORD kGuidTextLength = 39;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" and its zero

std::wstring ReadIdentity(HKEY key) {
    wchar_t text[kGuidTextLength + 1] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (::RegGetValueW(key, nullptr, kIdentityValue, RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return text;
}

}  // namespace

std::wstring BootIdentityFromVolatileKey() {
    const std::string path = std::string(kServiceKeyPath) + "Boot";
    HKEY raw = nullptr;
    // The first start of a boot creates the key; the system forgets it at shutdown.
    DWORD disposition = 0;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &raw,
                          &disposition) != ERROR_SUCCESS) {
        return std::wstring();
    }
    const win::UniqueRegKey key(raw);
    if (disposition == REG_OPENED_EXISTING_KEY) {
        const std::wstring stored = ReadIdentity(key.Get());
        if (!stored.empty()) {
            return stored;
        }
    }
    GUID guid{};
    wchar_t text[kGuidTextLength] = {};
    if (FAILED(::CoCreateGuid(&guid)) || ::StringFromGUID2(guid, text, kGuidTextLength) == 0) {
        return std::wstring();
    }
    if (::RegSetValueExW(key.Get(), kIdentityValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                         kGuidTextLength * sizeof(wchar_t)) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return text;
}
