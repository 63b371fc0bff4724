// Helpers of the service loop, exposed for its tests.
#pragma once

#include <windows.h>

#include <string>

#include "versions/firmware_version.h"

// The file-name part (name and extension) of the path recorded in LastBinFile, cut at its
// first zero character and to 259 characters: the same text the capsule search parsed the
// capsule's version from.
std::wstring CapsuleFileNameOf(const std::wstring& recordedPath);

// Whether two capsule paths name the same capsule: their file names (name and extension) are the
// same under the file system's rule, wherever the capsules lie. A capsule that comes back in
// another folder (a republished driver package) is the capsule it was.
bool SameCapsule(const std::wstring& a, const std::wstring& b);

// Whether the machine has started since the service key was last written: the reboot's witness
// for a record an earlier version wrote without its boot's identity.
bool RebootedSince(const FILETIME& keyLastWrite, const FILETIME& bootTime);

// Whether the running BIOS is at least the version of the last attempted capsule (a newer BIOS
// ends the attempt too). The running BIOS reports three version groups (its fourth field is
// always 0), so only fields 1 to 3 count.
bool LastAttemptInstalled(FirmwareVersion runningBios, FirmwareVersion lastAttempted);

// How long the cycle's wait may last: for ever while a folder is watched or the stop event
// alone is waited for, five minutes when the watch set-up could not read the BIOS (the set-up
// is then tried again).
DWORD CycleWaitTimeout(bool watchSetUpFailed);
