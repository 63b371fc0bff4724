#include "platform/bios_info.h"

#include <windows.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/format.hpp>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "versions/firmware_version.h"
#include "platform/smbios_lite.h"
#include "logging/logger.h"

namespace QVBiosUpdate {
namespace {

using QV::Shared::CqvLog;
using QV::Shared::LogLevelError;
using QV::Shared::LogLevelInformation;

constexpr char kFunction[] = "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo";

constexpr std::uint8_t kBiosInformation = 0;
constexpr std::uint8_t kSystemInformation = 1;
constexpr std::uint8_t kSystemEnclosure = 3;
constexpr std::uint8_t kOemCapabilities = 0x83;

constexpr std::uint32_t kBiosVersionString = 0x05;
constexpr std::uint32_t kBiosMajorRelease = 0x14;
constexpr std::uint32_t kBiosMinorRelease = 0x15;
constexpr std::uint32_t kSystemVersionString = 0x06;
constexpr std::uint32_t kChassisType = 0x05;
constexpr std::uint32_t kCapabilities = 0x18;
constexpr std::uint32_t kAtpSupportedBit = 1u << 13;

// Bit 7 of the chassis type byte only says that the chassis has a lock.
constexpr std::uint8_t kChassisTypeMask = 0x7F;

bool IsPortableChassis(std::uint8_t chassisType) {
    switch (chassisType & kChassisTypeMask) {
        case 8:   // Portable
        case 9:   // Laptop
        case 10:  // Notebook
        case 30:  // Tablet
        case 32:  // Detachable
            return true;
        default:
            return false;
    }
}

// The first two characters of |word| in the system's ANSI code page, a character without a
// mapping becoming a blank.
std::string FirstTwoCharactersAsAnsi(const std::wstring& word) {
    const int count = static_cast<int>(word.size() < 2 ? word.size() : 2);
    if (count == 0) {
        return {};
    }
    char buffer[16] = {};
    int written =
        ::WideCharToMultiByte(CP_ACP, 0, word.data(), count, buffer, sizeof(buffer), " ", nullptr);
    if (written <= 0) {
        // A UTF-8 system code page takes no replacement character (and needs none).
        written = ::WideCharToMultiByte(CP_ACP, 0, word.data(), count, buffer, sizeof(buffer),
                                        nullptr, nullptr);
    }
    return std::string(buffer, written > 0 ? written : 0);
}

// Reads |text| as the standard string-to-integer conversion does: leading white space, an
// optional sign, then decimal digits up to the first other character. Throws
// std::invalid_argument "invalid stoi argument" when no digit follows, with the same text on
// every toolchain.
int ReadLeadingInteger(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at >= text.size() || text[at] < '0' || text[at] > '9') {
        throw std::invalid_argument("invalid stoi argument");
    }
    int value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');  // at most a few digits: cannot overflow
    }
    return negative ? -value : value;
}

// The groups, each as at least two decimal digits, joined by ".".
std::wstring JoinGroups(std::initializer_list<unsigned int> groups) {
    std::wstring text;
    for (const unsigned int group : groups) {
        wchar_t digits[8];
        std::swprintf(digits, sizeof(digits) / sizeof(digits[0]), L"%02u", group);
        if (!text.empty()) {
            text += L'.';
        }
        text += digits;
    }
    return text;
}

}  // namespace

bool SmbiosInfo::GetSmbiosInfo() {
    CqvLog* log = nullptr;
    try {
        log = CqvLog::GetInstance();  // its set-up may throw too
        const SmbiosLite table;
        log->Log(LogLevelInformation, kFunction, L"Getting SMBIOS information");

        if (!table.GetByte(kBiosInformation, 0, kBiosMajorRelease, biosMajorRelease) ||
            !table.GetByte(kBiosInformation, 0, kBiosMinorRelease, biosMinorRelease)) {
            log->Log(LogLevelError, kFunction, L"Error getting BIOS version from SMBIOS");
            return false;
        }
        std::wstring biosVersion;
        if (!table.GetString(kBiosInformation, 0, kBiosVersionString, biosVersion)) {
            log->Log(LogLevelError, kFunction,
                     L"Error getting BIOS Family/version string from SMBIOS");
            return false;
        }

        // "ABC Ver. 01.02.03": the family, a word that is not read, the version groups.
        // Every blank separates, so adjacent blanks give empty words.
        std::vector<std::wstring> words;
        boost::algorithm::split(words, biosVersion, boost::algorithm::is_any_of(L" "));
        if (words.size() < 3) {
            log->Log(LogLevelError, kFunction, L"Error parsing BIOS string, unable to get family");
            return false;
        }
        family = words[0];
        const std::wstring& groups = words[2];
        if (groups.size() == 5) {
            versionGroup1 = 255;
            version = JoinGroups({biosMajorRelease, biosMinorRelease});
        } else {
            versionGroup1 =
                static_cast<std::uint8_t>(ReadLeadingInteger(FirstTwoCharactersAsAnsi(groups)));
            version = JoinGroups({versionGroup1, biosMajorRelease, biosMinorRelease});
        }

        table.GetString(kSystemInformation, 0, kSystemVersionString, pcid);
        std::uint8_t chassisType = 0;
        if (table.GetByte(kSystemEnclosure, 0, kChassisType, chassisType)) {
            portable = IsPortableChassis(chassisType);
        }
        std::uint32_t capabilities = 0;
        if (table.GetDword(kOemCapabilities, 0, kCapabilities, capabilities)) {
            atpSupported = (capabilities & kAtpSupportedBit) != 0;
        }

        log->Log(LogLevelInformation, kFunction,
                 (boost::wformat(L"Successfully retrieved SMBIOS settings: BIOS Family = %s, "
                                 L"version = %s") %
                  family % version)
                     .str());
        log->Log(LogLevelInformation, kFunction,
                 (boost::wformat(L"PCID: '%s', AT-p supported: %s, portable: %s") % pcid %
                  (atpSupported ? L"yes" : L"no") % (portable ? L"yes" : L"no"))
                     .str());
        return true;
    } catch (const std::exception& error) {
        if (log != nullptr) {
            log->Log(LogLevelError, kFunction, L"SmbiosLite exception: %hs", error.what());
        }
        return false;
    } catch (...) {
        return false;  // the logging framework's own exception: no logger to tell
    }
}

}  // namespace QVBiosUpdate

bool GetBiosInfo(std::wstring& family, int& field1, int& field2, int& field3, int& field4) {
    family.clear();
    field1 = field2 = field3 = field4 = -1;
    QVBiosUpdate::SmbiosInfo info;
    if (!info.GetSmbiosInfo()) {
        return false;
    }
    family = info.family;
    ParseBiosVersionText(info.version, field1, field2, field3, field4);
    return true;
}
