// Names the logging framework derives from paths: the module base name, the name of the
// mutex that serialises the writers of one log file, and the numbering of archived log files.
//
// Pure functions of their arguments (no Windows header, no file system access); any thread
// may call them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace QV {
namespace Shared {

// The base name of a module path: the text after the last backslash, without its last dot
// and what follows ("C:\x\QvNyxService.exe" gives "QvNyxService"). Returns false, and leaves
// |baseName| unchanged, when the path holds no backslash.
bool ModuleBaseNameFromPath(const std::wstring& fullPath, std::wstring& baseName);

// The name of the mutex shared by every writer of the log file |path| (or of the bare file
// name when no folder was found): everything up to and including the first ":" is removed
// when that ":" is not the first character, every "\" becomes ".", and "Global\" is put in
// front. "C:\Data\qvzLog\App.log" gives "Global\.Data.qvzLog.App.log".
std::wstring LogMutexName(const std::wstring& path);

// "<base>_<number as four digits>.log", the name of archive |number| of the log file whose
// path without extension is |base|.
std::wstring ArchiveName(const std::wstring& base, int number);

// Most archives kept beside a log file after a rotation.
inline constexpr int kMaxLogArchives = 9;

// An archive found beside the log file: its file name (no folder) and last-write time (any
// monotonic unit, such as FILETIME ticks).
struct ArchiveFile {
    std::wstring name;
    std::uint64_t lastWriteTime = 0;
};

// One archive that keeps its place in the series under a new number.
struct ArchiveRenumbering {
    std::wstring name;
    int number = 0;
};

struct ArchiveRotationPlan {
    // File names to delete first, oldest first.
    std::vector<std::wstring> deletions;
    // The remaining archives, oldest first; the newest receives number 2 and the oldest the
    // highest, so that number 1 is free for the log file itself.
    std::vector<ArchiveRenumbering> renumbering;
};

// What a rotation does with the archives |found| (in any order): orders them from the oldest
// to the newest last-write time (archives of equal time by name, the higher number counting
// as older, so no archive is passed over), deletes the oldest until eight remain, and
// numbers the rest so that with the rotated log file there are at most nine.
ArchiveRotationPlan PlanArchiveRotation(std::vector<ArchiveFile> found);

}  // namespace Shared
}  // namespace QV
