// The simulated machine: its SMBIOS table and the length of the service's first wait come
// from the simulation settings instead of WMI and the fixed minute.
#include "engine/startup_delay.h"
#include "platform/smbios_raw_source.h"
#include "simulation/simulation_settings.h"

namespace QVBiosUpdate {

// "SmbiosData" holds the raw structure table as WMI would return it; without it the machine
// has no SMBIOS data, as under Wine.
std::vector<std::uint8_t> ReadRawSmbiosData() {
    return simulation::ReadBinarySetting(L"SmbiosData").value_or(std::vector<std::uint8_t>());
}

}  // namespace QVBiosUpdate

DWORD ServiceStartupDelayMs() {
    return simulation::ReadDwordSetting(L"StartupDelayMs").value_or(60000);
}
