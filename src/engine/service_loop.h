// Helpers of the service loop, exposed for its tests.
#pragma once

#include <string>

// Makes sure the folder |path| exists, creating only its last component. Returns 0 when the
// folder exists afterwards, -1 when it could not be created; the thread's last error then
// still holds the error of the creation. Logs each step to the service log.
int EnsureDirectory(const char* path);

// The file-name part (name and extension) of the path recorded in LastBinFile, cut at its
// first zero character and to 259 characters: the same text the capsule search parsed the
// capsule's version from.
std::wstring CapsuleFileNameOf(const std::wstring& recordedPath);
