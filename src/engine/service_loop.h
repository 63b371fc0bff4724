// Helpers of the service loop, exposed for its tests.
#pragma once

#include <windows.h>

#include <string>

#include "versions/firmware_version.h"

// The file-name part (name and extension) of the path recorded in LastBinFile, cut at its
// first zero character and to 259 characters: the same text the capsule search parsed the
// capsule's version from.
std::wstring CapsuleFileNameOf(const std::wstring& recordedPath);

// Whether the start-up verification of a flash that was handed over may judge it: only when
// the machine has started since the service key was last written (the flash needs a reboot).
bool RebootedSince(const FILETIME& keyLastWrite, const FILETIME& bootTime);

// Whether the running BIOS is the version of the last attempted capsule. The running BIOS
// reports three version groups (its fourth field is always 0), so only fields 1 to 3 count.
bool LastAttemptInstalled(FirmwareVersion runningBios, FirmwareVersion lastAttempted);

// How long the cycle's wait may last: for ever while a folder is watched or the stop event
// alone is waited for, five minutes when the watch set-up could not read the BIOS (the set-up
// is then tried again).
DWORD CycleWaitTimeout(bool watchSetUpFailed);
