// The tests' source of the raw SMBIOS table: this file's ReadRawSmbiosData hands out the
// bytes the test last set (none at first), in place of the WMI reader of the service.
#pragma once

#include <cstdint>
#include <vector>

namespace platform_test {

void SetRawSmbiosData(std::vector<std::uint8_t> data);

}  // namespace platform_test
