// The one rule by which the service tells whether two paths (or two file names) name the same
// thing: the file system's own, ordinal with letter case ignored. A locale never takes part: under
// some locales "I" and "i" are different letters, so "C:\WINDOWS" and "c:\windows" would count as
// two folders. Portable code that cannot call Windows uses text/ascii_case.h instead.
#pragma once

#include <string>

namespace win {

// Whether |a| and |b| are the same text under the file system's rule.
bool SamePath(const std::wstring& a, const std::wstring& b);

}  // namespace win
