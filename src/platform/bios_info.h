// The identity of the running BIOS: its family and version, read afresh from the SMBIOS
// table on every call, with a few identity values that are only logged.
//
// Runs on the calling thread; the WMI read behind the table initialises COM on that thread
// for its duration. Progress and failures go to the process-wide CqvLog under the function
// name "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo".
#pragma once

#include <cstdint>
#include <string>

namespace QVBiosUpdate {

class SmbiosInfo {
public:
    // Builds the SMBIOS table and fills the fields below. Returns true when family and
    // version were obtained. Throws nothing: every failure, the table's own exceptions
    // included, is logged at Error and gives false, with the fields filled up to that point.
    bool GetSmbiosInfo();

    // First group of the BIOS version string's third word (its first two characters read as
    // a decimal number); 255 when that word has five characters.
    std::uint8_t versionGroup1 = 255;
    std::uint8_t biosMajorRelease = 255;  // type 0, offset 14h
    std::uint8_t biosMinorRelease = 255;  // type 0, offset 15h
    std::wstring family;                  // first word of the BIOS version string
    // "gg.MM.mm" from version group 1 and the two release bytes, or "MM.mm" when the third
    // word has five characters; each at least two digits.
    std::wstring version;
    std::wstring pcid;          // type 1, string at offset 06h
    bool atpSupported = false;  // bit 13 of the 32-bit value at offset 18h of type 83h
    bool portable = false;      // chassis type (type 3, offset 05h) is a portable one
};

}  // namespace QVBiosUpdate

// The running BIOS family and its four version fields (field 1 from the version string, the
// release bytes as fields 2 and 3, field 4 normally 0; a malformed group is -1), read through
// a fresh QVBiosUpdate::SmbiosInfo. On failure returns false with |family| empty and every
// field -1. Nothing is cached between calls.
bool GetBiosInfo(std::wstring& family, int& field1, int& field2, int& field3, int& field4);
