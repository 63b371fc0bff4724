// Carrying out a staging plan (staging_plan.h) on this machine and running the tool for it.
//
// Kel::UpgradeFirmware (declared in kel.h) stages the capsule and the tool files as the plan for
// the capsule-source mode searchDriverStore selects says, checks the tool's signature, records
// the attempt (attempt_record.h) immediately before the tool starts, and records the tool's
// outcome: UpgradeStatus 3 (exit code 0), 1 (3010, a restart finishes the flash) or 2 (any
// other exit code). A tool that never started (no user session, token, environment or process,
// a failed write of the record, or the service's stop) or that the stop ended leaves no attempt:
// the record goes back exactly to what it was. A failure before the launch (a copy of a required
// file, a capsule path without a folder, an unreadable service executable path) writes nothing.
//
// Every copy is interrupted by the service's stop. The staged capsule and INF can be read by
// SYSTEM and Administrators only; the tool, the activator and the logo also by Users.
#pragma once

#include <string>

#include "capsule/staging_plan.h"
#include "records/service_log.h"

// Where the driver-store mode stages the capsule and runs the tool: "<system directory>\Firmware"
// (empty when the system directory cannot be read). Set up during static initialisation, before
// wWinMain runs.
inline const std::wstring firmwareStagingFolder = StagingFolderIn(SystemDirectory());

using staging::kDriverStoreToastFile;
using staging::kDriverStoreToolFile;

struct FlashToolNames {
    std::wstring tool;   // toolBaseName, with "64" for a 64-bit service
    std::wstring toast;  // toastBaseName, with "64" for a 64-bit service
};

// The tool and activator names (without extension) the Windows-folder mode stages for a
// service executable at |executablePath|: the plain names for a 32-bit executable, the "64"
// names for a 64-bit one and for any file whose type GetBinaryTypeW cannot tell. The base names
// themselves never change.
FlashToolNames ChooseToolNames(const std::wstring& executablePath);

// |path| split by _wsplitpath_s. False when a part does not fit its buffer (3 characters for the
// drive, 256 for each other part).
bool SplitPath(const std::wstring& path, staging::PathParts& parts);
