// Staging a capsule with the maker's flashing tool and recording how the flash ended.
//
// Kel::UpgradeFirmware (declared in kel.h) works in the capsule-source mode searchDriverStore
// selects:
//  - driver store (true): the capsule's .bin and .inf, and the tool, the toast activator and
//    the logo from the service executable's folder (the firmware package's folder) are copied
//    into firmwareStagingFolder, and the tool runs there;
//  - Windows firmware folder (false): the tool, the activator and the logo are copied from the
//    service executable's folder into the capsule's folder, and the tool runs there.
// A capsule whose folder is the search root itself (the driver-store root, or the firmware
// folder) is not staged: the tool already there is run.
//
// The attempt is recorded only once everything is staged, immediately before the tool starts
// (and not at all when the service's stop event is set by then): LastBinFile = the capsule, then
// UpgradeStatus 1. After the tool: 3 (exit code 0), 1 (3010, a restart finishes the flash) or 2
// (any other exit code). A tool that never started (no user session, token, environment or
// process, or a write of the record failed) or that the stop ended leaves no attempt: both
// values go back to what they were, with UpgradeStatus 0, and the capsule stays due. A failure
// before the launch (a copy of a required file, a capsule path without a folder, an unreadable
// service executable path) writes neither value.
//
// Paths are built in buffers of 260 characters (terminator included); one that would not fit is
// treated as a failure of its step with ERROR_FILENAME_EXCED_RANGE, never cut short.
#pragma once

#include <string>

#include "records/service_log.h"

// Where the driver-store mode stages the capsule and runs the tool: "<system directory>\Firmware"
// (empty when the system directory cannot be read). Set up during static initialisation, before
// wWinMain runs.
inline const std::wstring firmwareStagingFolder = StagingFolderIn(SystemDirectory());

// The tool and activator file names of the driver-store mode, whatever the service's width.
inline constexpr wchar_t kDriverStoreToolFile[] = L"QvKelFlash64.exe";
inline constexpr wchar_t kDriverStoreToastFile[] = L"QVToastNotificationActivator64.exe";

struct FlashToolNames {
    std::wstring tool;   // toolBaseName, with "64" for a 64-bit service
    std::wstring toast;  // toastBaseName, with "64" for a 64-bit service
};

// The tool and activator names (without extension) the Windows-folder mode stages for a
// service executable at |executablePath|: the plain names for a 32-bit executable, the "64"
// names for a 64-bit one and for any file whose type GetBinaryTypeW cannot tell. The base names
// themselves never change.
FlashToolNames ChooseToolNames(const std::wstring& executablePath);
