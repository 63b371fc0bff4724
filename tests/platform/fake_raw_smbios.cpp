#include "fake_raw_smbios.h"

#include <utility>

#include "platform/smbios_raw_source.h"

namespace platform_test {
namespace {

std::vector<std::uint8_t>& RawData() {
    static std::vector<std::uint8_t> data;
    return data;
}

}  // namespace

void SetRawSmbiosData(std::vector<std::uint8_t> data) {
    RawData() = std::move(data);
}

}  // namespace platform_test

std::vector<std::uint8_t> QVBiosUpdate::ReadRawSmbiosData() {
    return platform_test::RawData();
}
