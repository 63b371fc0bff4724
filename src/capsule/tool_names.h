// Names of the maker's files that staging copies beside the capsule and the flashing tool
// it starts. Set up during static initialisation, before wWinMain runs.
#pragma once

#include <string>

inline const std::wstring toolBaseName = L"QvKelFlash";
inline const std::wstring toastBaseName = L"QVToastNotificationActivator";
inline const std::wstring logoFileName = L"QVFirmwareUpdate.jpg";
