// SMBIOS structures for the tests: a header with handle 1000h + type, |fields| from offset 4,
// zeros up to |length|, then the string set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace smbios_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Structure(std::uint8_t type, std::uint8_t length, Bytes fields,
                       const std::vector<std::string>& strings) {
    fields.insert(fields.begin(), {type, length, type, 0x10});
    fields.resize(fields.size() < length ? length : fields.size());
    for (const std::string& text : strings) {
        fields.insert(fields.end(), text.c_str(), text.c_str() + text.size() + 1);
    }
    fields.resize(fields.size() + (strings.empty() ? 2 : 1));  // the set's closing 00 (00)
    return fields;
}

// Type 0 with the strings vendor, |version| (at offset 05h) and date and the release bytes.
inline Bytes BiosInformation(const std::string& version, std::uint8_t major, std::uint8_t minor) {
    return Structure(0, 0x18, {1, 2, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, major, minor},
                     {"QV", version, "01/02/2026"});
}

inline Bytes EndOfTable() {
    return Structure(127, 4, {}, {});
}

inline Bytes Table(std::initializer_list<Bytes> structures) {
    Bytes table;
    for (const Bytes& structure : structures) {
        table.insert(table.end(), structure.begin(), structure.end());
    }
    return table;
}

}  // namespace smbios_test
