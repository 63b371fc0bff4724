// The service runs as LocalSystem and writes, deletes and starts files in its folders, so it
// uses a folder only when no ordinary user can have put it there, and reaches no file through a
// link an ordinary process left behind.
#pragma once

#include <windows.h>

#include <string>

namespace win {

// ERROR_REPARSE_POINT_ENCOUNTERED, which MinGW-w64's winerror.h lacks: the answer for a folder
// that is a link.
inline constexpr DWORD kErrorReparsePointEncountered = 4395;

// Who may read the folders the service creates; SYSTEM and Administrators always have full
// control, nobody else may write, and nothing is inherited from the parent.
enum class FolderReaders {
    kUsers,   // Users read and execute (the firmware folders)
    kNobody,  // nobody else (the tool's temporary folder)
};

// Creates the folder |path| (its last component only) with that access. False, with the
// thread's last error, on failure (ERROR_ALREADY_EXISTS when something has the name).
bool CreateProtectedFolder(const std::wstring& path, FolderReaders readers);

// Whether an existing folder with |attributes| and |owner| may be used: ERROR_SUCCESS; or
// kErrorReparsePointEncountered for a reparse point (a junction or a link may lead anywhere);
// ERROR_INVALID_OWNER when the owner is neither SYSTEM, Administrators, TrustedInstaller nor
// |serviceAccount| (the account the service runs as); ERROR_DIRECTORY for a file.
DWORD JudgeFolder(DWORD attributes, PSID owner, PSID serviceAccount);

// Reads the folder's attributes (without following a link) and owner and judges them; the
// error of a read that fails. ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND when it is missing.
DWORD CheckFolder(const std::wstring& path);

// A file that is a reparse point or has more than one name may lead to another file.
bool IsLinkedFile(DWORD attributes, DWORD linkCount);

// When |path| names a linked file, deletes that name (never the file it leads to), so that the
// next write creates a file of its own. True when the name is now free of links: missing, a
// plain file, or deleted here; false, with the thread's last error, when a linked name stays.
bool UnlinkFile(const std::wstring& path);

// Deletes the folder |path| with everything below it. A link inside is deleted itself, never
// what it leads to; a link at |path| itself too. True when the name is gone.
bool RemoveFolderTree(const std::wstring& path);

}  // namespace win
