// Conversions between the wide texts of the service and UTF-8. Header-only, so that the small
// test tools built outside the project's libraries share them too.
#pragma once

#include <windows.h>

#include <string>

namespace win {

// |text| as UTF-8; empty when it is empty or cannot be converted.
inline std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string utf8(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

// |text| read as UTF-8; empty when it is empty or cannot be converted.
inline std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &wide[0], size);
    return wide;
}

}  // namespace win
