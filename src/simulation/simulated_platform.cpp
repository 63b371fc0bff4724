// The simulated machine: its SMBIOS table, the length of the service's first wait and its
// boot time come from the simulation settings instead of WMI, the fixed minute and the clock.
#include "engine/boot_time.h"
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

// "BootTime" (REG_QWORD, a UTC FILETIME) plays a reboot; without it the real one counts.
FILETIME ReadBootTime() {
    if (const auto data = simulation::ReadQwordSetting(L"BootTime")) {
        FILETIME boot;
        boot.dwLowDateTime = static_cast<DWORD>(*data & 0xFFFFFFFFu);
        boot.dwHighDateTime = static_cast<DWORD>(*data >> 32);
        return boot;
    }
    return BootTimeFromTickCount();
}
