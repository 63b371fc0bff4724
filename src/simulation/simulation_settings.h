// Settings of the simulation build: values under HKLM\SOFTWARE\QvNyxSimulation, read afresh
// each time they are used, so a test or the demo can change them while the service runs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simulation {

inline constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\QvNyxSimulation";

// Each gives nothing when the value is missing or of another type.
std::optional<DWORD> ReadDwordSetting(const wchar_t* name);
std::optional<std::uint64_t> ReadQwordSetting(const wchar_t* name);
std::optional<std::wstring> ReadStringSetting(const wchar_t* name);
std::optional<std::vector<std::uint8_t>> ReadBinarySetting(const wchar_t* name);

}  // namespace simulation
