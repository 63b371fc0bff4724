#include "logging/log_policy.h"

#include <winver.h>

#include <vector>

#include "logging/log_file_names.h"
#include "logging/log_format.h"

namespace QV {
namespace Shared {
namespace {

// Both translations a version resource of ours may carry: Windows-1252 and Unicode.
constexpr const wchar_t* kProductNameQueries[] = {
    L"\\StringFileInfo\\040904E4\\ProductName",
    L"\\StringFileInfo\\040904B0\\ProductName",
};

constexpr DWORD kPolicyStringBytes = 512;
constexpr DWORD kLoggingTypeBytes = 128;

}  // namespace

std::wstring ProductNameFromVersionResource() {
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(modulePath, &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(modulePath, 0, size, block.data())) {
        return {};
    }
    for (const wchar_t* query : kProductNameQueries) {
        void* value = nullptr;
        UINT valueLength = 0;
        if (::VerQueryValueW(block.data(), query, &value, &valueLength) && value != nullptr &&
            valueLength > 0) {
            std::wstring name(static_cast<const wchar_t*>(value), valueLength);
            name.resize(wcsnlen(name.c_str(), name.size()));  // the length counts the null
            if (!name.empty()) {
                return name;
            }
        }
    }
    return {};
}

bool OpenPolicyKeys(win::UniqueRegKey& productKey, win::UniqueRegKey& moduleKey) {
    productKey.Reset();
    moduleKey.Reset();
    const std::wstring productName = ProductNameFromVersionResource();
    if (productName.empty()) {
        return false;
    }
    const std::wstring productPath = std::wstring(kPolicyKeyRoot) + productName;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, productPath.c_str(), 0, KEY_READ, productKey.Put()) !=
        ERROR_SUCCESS) {
        productKey.Release();  // a failed open may leave garbage in the output
        return false;
    }
    std::wstring fullPath;
    std::wstring baseName;
    if (GetModuleNames(fullPath, baseName) && !baseName.empty()) {
        if (::RegOpenKeyExW(productKey.Get(), baseName.c_str(), 0, KEY_READ, moduleKey.Put()) !=
            ERROR_SUCCESS) {
            moduleKey.Release();
        }
    }
    return true;
}

bool GetModuleNames(std::wstring& fullPath, std::wstring& baseName) {
    wchar_t path[520] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, 520);
    if (length == 0 || length >= 520) {
        return false;
    }
    fullPath.assign(path, length);
    return ModuleBaseNameFromPath(fullPath, baseName);
}

bool ReadPolicyString(HKEY key, const wchar_t* valueName, std::wstring& value) {
    if (key == nullptr) {
        return false;
    }
    // One spare character, so a text that fills the buffer without a null still ends.
    wchar_t buffer[kPolicyStringBytes / sizeof(wchar_t) + 1] = {};
    DWORD type = 0;
    DWORD bytes = kPolicyStringBytes;
    if (::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                           &bytes) != ERROR_SUCCESS ||
        type != REG_SZ || buffer[0] == L'\0') {
        return false;
    }
    value = buffer;
    return true;
}

bool ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD& value) {
    if (key == nullptr) {
        return false;
    }
    DWORD data = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                           &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(data)) {
        return false;
    }
    value = data;
    return true;
}

void ReadLevelRange(HKEY productKey, HKEY moduleKey, int& minLevel, int& maxLevel) {
    std::wstring text;
    if (ReadPolicyString(moduleKey, L"MinLogLevel", text) ||
        ReadPolicyString(productKey, L"MinLogLevel", text)) {
        minLevel = ParseLogLevel(text.c_str());
    }
    if (ReadPolicyString(moduleKey, L"MaxLogLevel", text) ||
        ReadPolicyString(productKey, L"MaxLogLevel", text)) {
        maxLevel = ParseLogLevel(text.c_str());
    }
}

bool ReadLoggingType(HKEY productKey, HKEY moduleKey, std::wstring& text) {
    for (HKEY key : {moduleKey, productKey}) {
        if (key == nullptr) {
            continue;
        }
        wchar_t buffer[kLoggingTypeBytes / sizeof(wchar_t) + 1] = {};
        DWORD bytes = kLoggingTypeBytes;
        if (::RegQueryValueExW(key, L"LoggingType", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer), &bytes) == ERROR_SUCCESS) {
            text = buffer;
            return true;
        }
    }
    return false;
}

}  // namespace Shared
}  // namespace QV
