#include "versions/firmware_version.h"

#include <algorithm>
#include <cwchar>

#include "text/ascii_case.h"

namespace {

// Longest capsule name looked at.
constexpr std::size_t kMaxNameLength = 260;

// The value of a decimal digit, or -1. The difference is taken unsigned over the whole
// character, so where wchar_t is wider than 16 bits no character outside the ten digits
// becomes one.
int DigitValue(wchar_t c) {
    const std::uint32_t difference =
        static_cast<std::uint32_t>(c) - static_cast<std::uint32_t>(L'0');
    return difference <= 9 ? static_cast<int>(difference) : -1;
}

// The digit pair at |position| of a text of |length| characters, or -1 when either character
// lies beyond the text.
int PairAt(const std::wstring& text, std::size_t length, std::size_t position) {
    if (position + 1 >= length) {
        return -1;
    }
    return ParseDigitPair(text[position], text[position + 1]);
}

// The length of the zero-terminated |name|, at most kMaxNameLength: nothing beyond is read.
std::size_t NameLength(const wchar_t* name) {
    std::size_t length = 0;
    while (length < kMaxNameLength && name[length] != L'\0') {
        ++length;
    }
    return length;
}

// Does |name| match |pattern|, where "?" is any one character and "*" any run? Letter case
// of ASCII letters is ignored, as the file system does for these names.
bool MatchesWildcard(const wchar_t* name, std::size_t nameLength, const std::wstring& pattern) {
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starAt = std::wstring::npos;  // the last "*" seen, and where its run ends
    std::size_t runEnd = 0;
    while (n < nameLength) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            runEnd = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || text::UpperAscii(pattern[p]) ==
                                                                    text::UpperAscii(name[n]))) {
            ++p;
            ++n;
        } else if (starAt != std::wstring::npos) {
            p = starAt + 1;
            n = ++runEnd;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

bool IsCapsuleCandidateName(const wchar_t* name, const std::wstring& family) {
    if (name == nullptr) {
        return false;
    }
    const std::size_t length = NameLength(name);
    const std::size_t padding = family.size() < 3 ? 3 - family.size() : 0;
    const std::wstring pattern = std::wstring(padding, L' ') + family + L"_??????*.bin";
    if (length < 12 || !MatchesWildcard(name, length, pattern)) {
        return false;
    }
    for (std::size_t at = 4; at < 10; ++at) {
        if (DigitValue(name[at]) == -1) {
            return false;
        }
    }
    const bool fourthPairDigits = DigitValue(name[10]) != -1 && DigitValue(name[11]) != -1;
    const bool sixDigitName = length == 14 && name[10] == L'.';  // "ABC_011400.bin"
    return fourthPairDigits || sixDigitName;
}

int ParseDigitPair(wchar_t high, wchar_t low) {
    const int highValue = DigitValue(high);
    const int lowValue = DigitValue(low);
    if (highValue == -1 || lowValue == -1) {
        return -1;
    }
    return 10 * highValue + lowValue;
}

void ParseBiosVersionText(const std::wstring& text, int& field1, int& field2, int& field3,
                          int& field4) {
    const std::size_t zero = text.find(L'\0');
    const std::size_t length = zero == std::wstring::npos ? text.size() : zero;
    field1 = PairAt(text, length, 0);
    field2 = PairAt(text, length, 3);
    field3 = PairAt(text, length, 6);
    field4 = length >= 11 ? PairAt(text, length, 9) : 0;
}

void ParseCapsuleVersion(const wchar_t* name, std::uint8_t& b1, std::uint8_t& b2, std::uint8_t& b3,
                         std::uint8_t& b4) {
    b1 = b2 = b3 = b4 = 0;
    if (name == nullptr) {
        return;
    }
    const std::size_t length = NameLength(name);
    if (length < 12) {
        return;
    }
    b1 = static_cast<std::uint8_t>(ParseDigitPair(name[4], name[5]));
    b2 = static_cast<std::uint8_t>(ParseDigitPair(name[6], name[7]));
    b3 = static_cast<std::uint8_t>(ParseDigitPair(name[8], name[9]));
    b4 = static_cast<std::uint8_t>(ParseDigitPair(name[10], name[11]));
}

FirmwareVersion MakeFirmwareVersion(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                    std::uint8_t b4) {
    return (static_cast<FirmwareVersion>(b1) << 24) | (static_cast<FirmwareVersion>(b2) << 16) |
           (static_cast<FirmwareVersion>(b3) << 8) | static_cast<FirmwareVersion>(b4);
}

std::wstring FormatVersionHex(FirmwareVersion version) {
    wchar_t text[24];  // 16 hex digits at most
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%08llx",
                  static_cast<unsigned long long>(version));
    return text;
}

std::wstring FormatVersionDotted(int field1, int field2, int field3, int field4) {
    wchar_t text[64];  // four fields of at most 11 characters each, three points
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%2.2d.%2.2d.%2.2d.%2.2d", field1, field2,
                  field3, field4);
    return text;
}

void FormatVersionDigits(int field1, int field2, int field3, int field4,
                         wchar_t (&text)[kVersionDigitsBufferLength]) {
    // Formatted in full first: a too small buffer would leave swprintf's output unspecified.
    wchar_t full[64];
    const int written = std::swprintf(full, sizeof(full) / sizeof(full[0]), L"%02d%02d%02d%02d",
                                      field1, field2, field3, field4);
    std::size_t length = written > 0 ? static_cast<std::size_t>(written) : 0;
    if (length > kVersionDigitsBufferLength - 1) {
        length = kVersionDigitsBufferLength - 1;
    }
    std::wmemcpy(text, full, length);
    text[length] = L'\0';
}

std::optional<std::wstring> ExtractVersionSeries(const std::wstring& folderName) {
    const std::size_t inf = folderName.find(L".inf");
    if (inf == std::wstring::npos) {
        return std::nullopt;
    }
    // Only the name up to the first ".inf" counts: an underscore after it (the architecture
    // and hash part of a store folder) is not the series' start.
    const std::size_t underscore = folderName.find(L'_');
    if (underscore == std::wstring::npos || underscore >= inf || inf <= underscore + 1) {
        return std::nullopt;
    }
    return folderName.substr(underscore + 1, inf - underscore - 1);
}

std::optional<std::wstring> FirmwarePackageSeries(const std::wstring& folderName,
                                                  const std::wstring& family) {
    const std::size_t familyLength = family.size();
    if (familyLength == 0 || folderName.size() <= familyLength ||
        !text::EqualIgnoringAsciiCase(folderName.substr(0, familyLength), family) ||
        folderName[familyLength] != L'_') {
        return std::nullopt;
    }
    const std::size_t inf = folderName.find(L'.', familyLength + 1);
    if (inf == std::wstring::npos ||
        !text::EqualIgnoringAsciiCase(folderName.substr(inf, 4), L".inf") ||
        (inf + 4 < folderName.size() && folderName[inf + 4] != L'_')) {
        return std::nullopt;
    }
    const std::wstring series = folderName.substr(familyLength + 1, inf - familyLength - 1);
    if (!IsDigitSeries(series)) {
        return std::nullopt;
    }
    return series;
}

bool IsSeriesNewer(const std::wstring& series, const std::wstring& installed) {
    const std::size_t common = series.size() < installed.size() ? series.size() : installed.size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto seriesCode = static_cast<std::uint32_t>(series[i]);
        const auto installedCode = static_cast<std::uint32_t>(installed[i]);
        if (seriesCode != installedCode) {
            return seriesCode > installedCode;
        }
    }
    return series.size() > installed.size();
}

bool IsDigitSeries(const std::wstring& series) {
    return (series.size() == 6 || series.size() == 8) &&
           std::all_of(series.begin(), series.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}
