// Letter case of ASCII letters ignored, for the portable units of the flashing side: the texts
// they compare (folder paths the service builds, environment variable names) are ASCII where
// case matters. Locale-aware comparisons stay with the Windows side.
#pragma once

#include <algorithm>
#include <string>

inline wchar_t UpperAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

inline bool EqualIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return UpperAscii(x) == UpperAscii(y); });
}

inline bool LessIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](wchar_t x, wchar_t y) { return UpperAscii(x) < UpperAscii(y); });
}
