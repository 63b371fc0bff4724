// The SMBIOS structure table, split into structures, with typed reads of their fields.
//
// Portable: the parser is handed the raw bytes and needs no Windows header. The
// argument-less constructor takes the bytes from ReadRawSmbiosData (smbios_raw_source.h).
// A table belongs to the thread that builds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/smbios_raw_source.h"

namespace QVBiosUpdate {

class SmbiosLite {
public:
    // One structure of the table. Offsets are positions in the raw data.
    struct Structure {
        std::uint8_t type = 0;
        std::uint32_t offset = 0;                  // the structure's first byte
        std::uint8_t length = 0;                   // formatted area, header included
        std::vector<std::uint32_t> stringOffsets;  // first byte of string 1, 2, ...
    };

    // Reads the machine's table through ReadRawSmbiosData and parses it; throws as the
    // constructor below does.
    SmbiosLite() : SmbiosLite(ReadRawSmbiosData()) {}

    // Parses |rawData|. Throws std::runtime_error "Failed to get SMBIOS data from WMI" when
    // it is empty, and "Failure parsing SMBIOS data" when not even the first structure is
    // well formed. A fault further on ends the parse there; the structures before it stay
    // usable. Never reads outside |rawData|.
    explicit SmbiosLite(std::vector<std::uint8_t> rawData);

    // The accessors find the |instance|-th structure (from 0) of |type| in table order.
    // |offset| is a byte offset into its formatted area, header included. Each returns false
    // and leaves its output untouched when the structure does not exist or the field lies
    // beyond the formatted area.

    // The byte at |offset|.
    bool GetByte(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                 std::uint8_t& value) const;

    // The little-endian 32-bit value at |offset|.
    bool GetDword(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                  std::uint32_t& value) const;

    // The string whose number is the byte at |offset|. Fails also when that number is 0 or
    // beyond the structure's strings. Each byte becomes one UTF-16 code unit by sign
    // extension (E9h gives FFE9h), the way the table has always been read.
    bool GetString(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                   std::wstring& value) const;

    const std::vector<Structure>& Structures() const { return structures_; }

private:
    const Structure* Find(std::uint8_t type, std::uint32_t instance) const;
    const Structure* FindField(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                               std::uint32_t size) const;

    std::vector<Structure> structures_;
    std::vector<std::uint8_t> rawData_;
};

// |data| cut to |statedSize| bytes when that is smaller; a larger size leaves it unchanged.
std::vector<std::uint8_t> CutToStatedSize(std::vector<std::uint8_t> data, std::uint32_t statedSize);

}  // namespace QVBiosUpdate
