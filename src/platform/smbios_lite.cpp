#include "platform/smbios_lite.h"

#include <cstddef>
#include <stdexcept>
#include <utility>

namespace QVBiosUpdate {
namespace {

// Header (type, length, handle) plus the two bytes that close an empty string set.
constexpr size_t kSmallestStructure = 6;
constexpr size_t kHeaderSize = 4;

// Parses the structure at |position|. On success fills |structure| and sets |next| to the
// first byte after its string set; on a fault returns false.
bool ParseStructure(const std::vector<std::uint8_t>& data, size_t position,
                    SmbiosLite::Structure& structure, size_t& next) {
    const size_t size = data.size();
    if (size - position < kSmallestStructure) {
        return false;
    }
    structure.type = data[position];
    structure.length = data[position + 1];
    structure.offset = static_cast<std::uint32_t>(position);
    structure.stringOffsets.clear();
    // A formatted area that reaches the end of the data leaves no room for the string set.
    if (structure.length < kHeaderSize || position + structure.length >= size) {
        return false;
    }

    size_t s = position + structure.length;
    if (data[s] == 0) {
        // No strings: normally closed by 00 00, but a single 00 directly followed by the next
        // structure is accepted as well. A lone 00 as the last byte leaves the set unclosed.
        if (s + 1 >= size) {
            return false;
        }
        next = data[s + 1] == 0 ? s + 2 : s + 1;
        return true;
    }
    for (;;) {
        structure.stringOffsets.push_back(static_cast<std::uint32_t>(s));
        while (s < size && data[s] != 0) {
            ++s;
        }
        ++s;  // past the string's terminator
        if (s >= size) {
            return false;  // the string or the set is not closed inside the data
        }
        if (data[s] == 0) {
            next = s + 1;
            return true;
        }
    }
}

}  // namespace

SmbiosLite::SmbiosLite(std::vector<std::uint8_t> rawData) : rawData_(std::move(rawData)) {
    if (rawData_.empty()) {
        throw std::runtime_error("Failed to get SMBIOS data from WMI");
    }
    // Type 127 (end of table) is not special: whatever follows it is parsed as well.
    size_t position = 0;
    Structure structure;
    size_t next = 0;
    while (position < rawData_.size() && ParseStructure(rawData_, position, structure, next)) {
        structures_.push_back(std::move(structure));
        position = next;
    }
    if (structures_.empty()) {
        throw std::runtime_error("Failure parsing SMBIOS data");
    }
}

const SmbiosLite::Structure* SmbiosLite::Find(std::uint8_t type, std::uint32_t instance) const {
    std::uint32_t seen = 0;
    for (const Structure& structure : structures_) {
        if (structure.type == type) {
            if (seen == instance) {
                return &structure;
            }
            ++seen;
        }
    }
    return nullptr;
}

const SmbiosLite::Structure* SmbiosLite::FindField(std::uint8_t type, std::uint32_t instance,
                                                   std::uint32_t offset, std::uint32_t size) const {
    const Structure* structure = Find(type, instance);
    if (structure == nullptr || std::uint64_t{offset} + size > structure->length) {
        return nullptr;
    }
    return structure;
}

bool SmbiosLite::GetByte(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                         std::uint8_t& value) const {
    const Structure* structure = FindField(type, instance, offset, 1);
    if (structure == nullptr) {
        return false;
    }
    value = rawData_[structure->offset + offset];
    return true;
}

bool SmbiosLite::GetDword(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                          std::uint32_t& value) const {
    const Structure* structure = FindField(type, instance, offset, 4);
    if (structure == nullptr) {
        return false;
    }
    const size_t at = size_t{structure->offset} + offset;
    value = std::uint32_t{rawData_[at]} | std::uint32_t{rawData_[at + 1]} << 8 |
            std::uint32_t{rawData_[at + 2]} << 16 | std::uint32_t{rawData_[at + 3]} << 24;
    return true;
}

bool SmbiosLite::GetString(std::uint8_t type, std::uint32_t instance, std::uint32_t offset,
                           std::wstring& value) const {
    const Structure* structure = FindField(type, instance, offset, 1);
    if (structure == nullptr) {
        return false;
    }
    const std::uint8_t number = rawData_[size_t{structure->offset} + offset];
    if (number == 0 || number > structure->stringOffsets.size()) {
        return false;
    }
    value.clear();
    // The parser has checked that every string ends with a 0 inside the data.
    for (size_t at = structure->stringOffsets[number - 1]; rawData_[at] != 0; ++at) {
        const auto widened = static_cast<std::uint16_t>(static_cast<std::int8_t>(rawData_[at]));
        value.push_back(static_cast<wchar_t>(widened));
    }
    return true;
}

std::vector<std::uint8_t> CutToStatedSize(std::vector<std::uint8_t> data,
                                          std::uint32_t statedSize) {
    if (statedSize < data.size()) {
        data.resize(statedSize);
    }
    return data;
}

}  // namespace QVBiosUpdate
