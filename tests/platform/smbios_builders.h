// Small named builders of SMBIOS structures and tables for the tests. Each structure is its
// formatted area (header included) followed by its string set, as the firmware lays it out.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace smbios_test {

using Bytes = std::vector<std::uint8_t>;

// A structure of |type| whose formatted area is |length| bytes: the 4-byte header (handle
// 0x1000 + type), then |fields| from offset 4, zero-filled up to |length|. |strings| form the
// string set; none gives the closing 00 00.
inline Bytes Structure(std::uint8_t type, std::uint8_t length, const Bytes& fields,
                       const std::vector<std::string>& strings) {
    Bytes bytes{type, length, type, 0x10};
    bytes.insert(bytes.end(), fields.begin(), fields.end());
    if (bytes.size() < length) {
        bytes.resize(length, 0);
    }
    for (const std::string& text : strings) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    if (strings.empty()) {
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

// Type 0, BIOS Information (length 18h): vendor is string 1, |biosVersion| string 2 (at
// offset 05h), a release date string 3; the release bytes at offsets 14h and 15h.
inline Bytes BiosInformation(const std::string& biosVersion, std::uint8_t majorRelease,
                             std::uint8_t minorRelease) {
    Bytes fields(0x18 - 4, 0);
    fields[0x04 - 4] = 1;
    fields[0x05 - 4] = 2;
    fields[0x08 - 4] = 3;
    fields[0x14 - 4] = majorRelease;
    fields[0x15 - 4] = minorRelease;
    return Structure(0, 0x18, fields, {"QV", biosVersion, "01/02/2026"});
}

// Type 1, System Information (length 1Bh): |pcid| is the version string (offset 06h).
inline Bytes SystemInformation(const std::string& pcid) {
    Bytes fields(0x1B - 4, 0);
    fields[0x04 - 4] = 1;
    fields[0x05 - 4] = 2;
    fields[0x06 - 4] = 3;
    return Structure(1, 0x1B, fields, {"QV", "Notebook 14", pcid});
}

// Type 3, System Enclosure (length 0Dh) with |chassisType| at offset 05h.
inline Bytes SystemEnclosure(std::uint8_t chassisType) {
    return Structure(3, 0x0D, {1, chassisType}, {"QV"});
}

// Type 83h (131), the maker's structure with the capability bits at offset 18h.
inline Bytes OemCapabilities(std::uint32_t capabilities) {
    Bytes fields(0x40 - 4, 0);
    for (int i = 0; i < 4; ++i) {
        fields[0x18 - 4 + i] = static_cast<std::uint8_t>(capabilities >> (8 * i));
    }
    return Structure(0x83, 0x40, fields, {});
}

// Type 127, End-of-Table.
inline Bytes EndOfTable() {
    return Structure(127, 4, {}, {});
}

// The structures one after the other.
inline Bytes Table(std::initializer_list<Bytes> structures) {
    Bytes table;
    for (const Bytes& structure : structures) {
        table.insert(table.end(), structure.begin(), structure.end());
    }
    return table;
}

}  // namespace smbios_test
