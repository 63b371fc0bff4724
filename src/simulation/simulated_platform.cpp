// The simulated machine: its SMBIOS table, the length of the service's first wait and its
// boot's identity come from the simulation settings instead of WMI, the fixed minute and the
// volatile key.
#include "engine/boot_time.h"
#include "engine/startup_delay.h"
#include "platform/smbios_raw_source.h"
#include "records/boot_identity.h"
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

// "BootTime" (REG_QWORD) names the boot: the same value is the same boot, another value a reboot,
// whatever the registry's write times say. Without it the real identity counts.
std::wstring ReadBootIdentity() {
    if (const auto data = simulation::ReadQwordSetting(L"BootTime")) {
        return L"simulated boot " + std::to_wstring(*data);
    }
    return BootIdentityFromVolatileKey();
}
