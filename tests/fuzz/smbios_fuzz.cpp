// Fuzz target for the SMBIOS parser and its accessors: any bytes may arrive from WMI.
//
// The input is the raw table itself. After parsing, every structure found is read through
// all three accessors at every offset of its formatted area and a little beyond it, so that
// a bounds check that is off by one shows as an AddressSanitizer report.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/smbios_lite.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> raw(data, data + size);
    try {
        const QVBiosUpdate::SmbiosLite table(raw);
        std::vector<std::uint32_t> seen(256, 0);
        for (const QVBiosUpdate::SmbiosLite::Structure& structure : table.Structures()) {
            const std::uint32_t instance = seen[structure.type]++;
            for (std::uint32_t offset = 0; offset < structure.length + 8u; ++offset) {
                std::uint8_t byte = 0;
                std::uint32_t dword = 0;
                std::wstring text;
                const bool hasByte = table.GetByte(structure.type, instance, offset, byte);
                table.GetDword(structure.type, instance, offset, dword);
                table.GetString(structure.type, instance, offset, text);
                if (hasByte != (offset < structure.length)) {
                    __builtin_trap();  // the byte accessor disagrees with the record
                }
            }
            // The accessors must also fail cleanly for an instance that does not exist.
            std::uint8_t byte = 0;
            if (table.GetByte(structure.type, 0xFFFFFFFF, 0, byte)) {
                __builtin_trap();
            }
        }
    } catch (const std::runtime_error&) {
        // No data or no structure: the two failures the parser reports.
    }
    return 0;
}
