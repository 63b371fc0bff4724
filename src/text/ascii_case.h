// Letter case of ASCII letters ignored: the one case rule of the portable units, which cannot ask
// Windows for the file system's own rule (win/path_rule.h, for every path the Windows code
// compares). The texts compared here are ASCII where case matters (capsule names, environment
// variable names, folder paths the service builds), and no locale may take part: under some
// locales "I" and "i" are different letters. Includes nothing, so every layer may include it.
#pragma once

#include <algorithm>
#include <string>

namespace text {

inline wchar_t UpperAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

inline wchar_t LowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
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

}  // namespace text
