#include "shared/log_test_support.h"

#include <shlobj.h>

#include <algorithm>
#include <cwctype>

#include "shared/log_policy.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace test {
namespace {

const std::wstring kProductKey = std::wstring(QV::Shared::kPolicyKeyRoot) + L"QV NYX Service";

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

}  // namespace

ScopedLogPolicy::ScopedLogPolicy() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey.c_str());
}

ScopedLogPolicy::~ScopedLogPolicy() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey.c_str());
}

HKEY ScopedLogPolicy::Key(bool module, const std::wstring& moduleName) {
    std::wstring path = kProductKey;
    if (module) {
        path += L"\\" + (moduleName.empty() ? OwnBaseName() : moduleName);
    }
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr);
    return key;
}

void ScopedLogPolicy::SetString(bool module, const wchar_t* name, const std::wstring& value,
                                const std::wstring& moduleName) {
    win::UniqueRegKey key(Key(module, moduleName));
    ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void ScopedLogPolicy::SetDword(bool module, const wchar_t* name, DWORD value,
                               const std::wstring& moduleName) {
    win::UniqueRegKey key(Key(module, moduleName));
    ::RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value));
}

void ScopedLogPolicy::CreateProductKey() {
    win::UniqueRegKey key(Key(false, std::wstring()));
}

std::wstring OwnBaseName() {
    std::wstring fullPath;
    std::wstring baseName;
    QV::Shared::GetModuleNames(fullPath, baseName);
    return baseName;
}

std::wstring LogFolder() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                       folder);
    return std::wstring(folder) + L"\\qvzLog";
}

std::wstring LogPathOf(const std::wstring& baseName) {
    return LogFolder() + L"\\" + baseName + L".log";
}

std::vector<std::wstring> FilesStartingWith(const std::wstring& folder,
                                            const std::wstring& prefix) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            Lower(name).compare(0, prefix.size(), Lower(prefix)) == 0) {
            names.push_back(name);
        }
    } while (::FindNextFileW(find.Get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveLogFiles(const std::wstring& baseName) {
    const std::wstring folder = LogFolder();
    for (const std::wstring& prefix : {baseName, std::wstring(L"_lo")}) {
        for (const std::wstring& name : FilesStartingWith(folder, prefix)) {
            ::DeleteFileW((folder + L"\\" + name).c_str());
        }
    }
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void SetLastWriteTime(const std::wstring& path, std::uint64_t fileTime) {
    win::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    ::SetFileTime(file.Get(), nullptr, nullptr, &time);
}

std::vector<std::wstring> ReadUtf8Lines(const std::wstring& path, int* bareLineFeeds) {
    std::string bytes = ReadFileBytes(path);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bytes.erase(0, 3);
    }
    std::vector<std::wstring> lines;
    int bare = 0;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        size_t lineEnd = end;
        if (end < bytes.size()) {
            if (end > start && bytes[end - 1] == '\r') {
                lineEnd = end - 1;
            } else {
                ++bare;
            }
        }
        const std::string line = bytes.substr(start, lineEnd - start);
        std::wstring wide(line.size(), L'\0');
        const int length =
            ::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &wide[0],
                                  static_cast<int>(wide.size()));
        wide.resize(static_cast<size_t>(length > 0 ? length : 0));
        lines.push_back(wide);
        start = end + 1;
    }
    if (bareLineFeeds != nullptr) {
        *bareLineFeeds = bare;
    }
    return lines;
}

}  // namespace test
