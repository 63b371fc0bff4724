// Finding the newest capsule of the machine's BIOS family in a folder tree, and the two
// well-known folders the service searches: the driver store ("DIRID13") and the "Firmware"
// folder under the Windows directory ("DIRID10").
//
// Threads: everything here runs on the service loop's thread only. The path buffers are
// built lazily without a lock.
//
// Paths live in fixed buffers: the folder paths below hold 261 wide characters, search
// patterns, sub-folder paths and results 260 (MAX_PATH) with the terminator. A pattern,
// sub-folder path or result that would not fit is skipped (that entry contributes nothing);
// nothing is ever cut into another path or written past a buffer.
#pragma once

#include <windows.h>

#include <string>

// Size of the process-wide path buffers below.
inline constexpr size_t kFolderPathBufferLength = MAX_PATH + 1;

// The Windows directory as GetWindowsDirectoryW gave it (asked with a size of 260); refilled
// by each path builder before it formats its path. Empty until the first build.
extern wchar_t windowsDirectory[kFolderPathBufferLength];

// "<Windows directory>\System32\DriverStore\FileRepository"; empty until BuildFwPathDIRID13
// builds it, never rebuilt afterwards. Stays empty when the Windows directory cannot be read.
extern wchar_t driverStorePath[kFolderPathBufferLength];

// "<Windows directory>\Firmware"; empty until GetFirmwareFolderPath or
// BuildFirmwareFolderPath builds it, never rebuilt afterwards. Stays empty when the Windows
// directory cannot be read.
extern wchar_t firmwareFolderPath[kFolderPathBufferLength];

// Which folder FindNewestCapsule searches and staging copies from: true for the driver store
// (DIRID13), false for the Windows firmware folder (DIRID10). False at process start; written
// only by the service loop, before it lets the upgrade decision search.
extern bool searchDriverStore;

// Builds driverStorePath when it is empty. On every call, whether it built the path or not,
// logs "BuildFwPathDIRID13: " followed by driverStorePath to the service log.
void BuildFwPathDIRID13();

// Builds firmwareFolderPath when it is empty and returns it (the process-wide buffer, empty
// when the Windows directory cannot be read). Logs nothing.
const wchar_t* GetFirmwareFolderPath();

// The same building step as GetFirmwareFolderPath, without a result.
void BuildFirmwareFolderPath();

// Searches the folder searchDriverStore selects (driverStorePath, built first when empty, or
// GetFirmwareFolderPath()) for the capsule of |family| with the highest version strictly
// above the bar b1.b2.b3.b4. Logs "Starting Path: " followed by the start path (the folder
// and one backslash). |path| is the caller's buffer of at least MAX_PATH (260) wide
// characters; it is emptied first. On true it holds the capsule's full path and b1 to b4 its
// version; on false b1 to b4 are unchanged and |path| has no meaning. A capsule lying
// directly in the start folder is returned with two backslashes before its name (the start
// path ends in one), one in a sub-folder with single separators.
// When the start folder is empty (the Windows directory could not be read) nothing is
// searched and the result is false: the search never starts at the root of a drive.
bool FindNewestCapsule(BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4, wchar_t* path,
                       const std::wstring& family);

// In the driver store (searchDriverStore) only the family's own firmware package folders
// (FirmwarePackageSeries) are searched, at any depth below them; another package, or a file in
// the store's root, never supplies a capsule however it is named.
//
// FindNewestCapsule's work once the start folder is chosen: forms the start path from
// |folder|, logs it, and searches it. An empty or null |folder|, or a start path that does
// not fit its buffer, searches nothing and gives false.
bool SearchFromStartFolder(const wchar_t* folder, BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4,
                           wchar_t* path, const std::wstring& family,
                           bool familyPackagesOnly = false);

// Searches the tree below |folder| (no depth limit): in each folder its sub-folders first,
// then its own files matching "<family right-aligned in 3>_??????*.bin" whose long names are
// capsule names (IsCapsuleCandidateName: no folder, no match through a short name, digits
// where the version is read), each in the order the file system enumerates them. A capsule replaces
// the best one only when its version is strictly greater, so among equal versions the first one met
// wins, and a sub-folder's capsule beats an equal one beside it. Folders that cannot be enumerated
// contribute nothing, silently. A folder whose capsule would beat the best one so far is judged
// first, with every folder above it (win::CheckFolder's rule: no link, no foreign owner, no one
// else allowed to change it); when it is refused, "Capsule folder may not be used: " followed by
// the folder, ", error=" and the verdict is logged, and no capsule in it or below it competes, so
// the best capsule elsewhere wins. Each folder is judged at most once a search, and only folders
// holding such a capsule (and those above them) are. Arguments and result as for
// FindNewestCapsule; an empty or null |folder| gives false. With |familyPackagesOnly| (the
// driver store) only the sub-folders of |folder| that are firmware package folders of |family|
// are searched, and the files directly in |folder| do not count.
bool SearchFolderForCapsule(const wchar_t* folder, BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4,
                            wchar_t* path, const std::wstring& family,
                            bool familyPackagesOnly = false);
