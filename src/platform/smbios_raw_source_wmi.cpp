// The production source of the raw SMBIOS table: the first instance of the WMI class
// MSSMBios_RawSMBiosTables, which Windows fills from the firmware's table.
#include <windows.h>
#include <wbemidl.h>

#include "platform/smbios_lite.h"
#include "platform/smbios_raw_source.h"
#include "platform/wmi_connection.h"

namespace QVBiosUpdate {

std::vector<std::uint8_t> ReadRawSmbiosData() {
    // The connection, and with it this thread's COM initialisation, ends with this call.
    WmiConnection connection(L"\\\\.\\root\\wmi");
    std::vector<std::uint8_t> data;
    std::uint32_t statedSize = 0;
    if (connection.ExecQuery(L"SELECT * FROM MSSMBios_RawSMBiosTables",
                             WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY) != S_OK ||
        connection.GetByteArrayProperty(L"SMBiosData", data) != S_OK ||
        connection.GetUInt32Property(L"Size", statedSize) != S_OK) {
        return {};
    }
    return CutToStatedSize(std::move(data), statedSize);
}

}  // namespace QVBiosUpdate
