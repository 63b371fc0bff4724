// The one place the raw SMBIOS structure table comes from.
//
// Each program links exactly one definition of ReadRawSmbiosData: the service links the
// WMI reader (library nyx_smbios_wmi), the simulation build links one that returns the
// bytes of its settings, and test programs link their own. Nothing else chooses the source,
// so the production build holds no switch that a test could flip.
#pragma once

#include <cstdint>
#include <vector>

namespace QVBiosUpdate {

// The raw SMBIOS structure table of this machine, cut to its stated size; empty when it
// cannot be read. Runs on the calling thread and throws nothing but std::bad_alloc.
std::vector<std::uint8_t> ReadRawSmbiosData();

}  // namespace QVBiosUpdate
