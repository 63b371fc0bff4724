// The service runs as LocalSystem and writes, deletes and starts files in its folders, so it
// uses a folder only when no ordinary user can have put it there or can change it or any folder
// above it, and reaches no file through a link an ordinary process left behind.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "win/unique_handle.h"

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

// The answer for a folder that someone other than SYSTEM, Administrators, TrustedInstaller and
// the service's own account may change: ERROR_INVALID_ACL (1336, "The access control list (ACL)
// structure is invalid"), chosen because it points a log line's reader at the folder's access
// list, and because no read or other verdict here gives it.
inline constexpr DWORD kErrorFolderWritableByOthers = ERROR_INVALID_ACL;

// Whether an existing folder with |attributes|, |owner| and |dacl| may be used: ERROR_SUCCESS;
// or kErrorReparsePointEncountered for a reparse point (a junction or a link may lead anywhere);
// ERROR_DIRECTORY for a file; ERROR_INVALID_OWNER when the owner is neither SYSTEM,
// Administrators, TrustedInstaller nor |serviceAccount| (the account the service runs as);
// kErrorFolderWritableByOthers when |dacl| allows anyone else to add files or folders to it,
// write, set its attributes or extended attributes, delete it or its entries, or change its
// access list or owner (generic rights mapped as for files; a null |dacl|, which allows
// everything to everyone, included), or when an entry that files created in it inherit
// (inherit-only or not) allows anyone else to write them, set their attributes or extended
// attributes, delete them or change their access list or owner. Denying entries, entries that
// only folders created below inherit, and inherited entries for CREATOR OWNER or CREATOR GROUP
// (the creator of a file, who needs a right refused here to create it) are not counted.
DWORD JudgeFolder(DWORD attributes, PSID owner, PACL dacl, PSID serviceAccount);

// The folders CheckFolder judges for the full path |path|, from the top down: when |path| lies
// in |windowsDirectory| (or is it), that directory and every folder below it down to |path|;
// otherwise every folder below the root of |path| (a drive such as C:\ or a share such as
// \\server\share\ ), which is never judged. Empty components (doubled or trailing backslashes)
// are left out; the chain is empty for a root alone or a path without a root.
std::vector<std::wstring> FolderChain(const std::wstring& path,
                                      const std::wstring& windowsDirectory);

// Judges folders for the service, reading its own account once. Any thread may use one;
// nothing is changed on disk.
class FolderJudge {
public:
    FolderJudge();

    // Judges the folder |path| alone (JudgeFolder), on a handle that does not follow a link;
    // the error of the open or read that fails (ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND
    // when it is missing).
    DWORD JudgeOne(const std::wstring& path) const;

    // Judges each folder of FolderChain(full path of |path|, Windows directory) from the top
    // down and answers the first verdict that is not ERROR_SUCCESS; ERROR_PATH_NOT_FOUND
    // when a folder above |path| is missing, ERROR_FILE_NOT_FOUND when only |path| is,
    // ERROR_BAD_PATHNAME when the chain is empty (a drive's root is not used as a folder).
    DWORD JudgeChain(const std::wstring& path) const;

    // Opens the file |path| for reading, sharing only reading, so that nobody can write, replace
    // or delete it while |held| lives, and judges it on that handle: no link (reparse point or
    // second name), owned by SYSTEM, Administrators, TrustedInstaller or the service's account,
    // nobody else allowed to change it. ERROR_SUCCESS with |held| open, or the verdict (the
    // error of the open) with |held| empty.
    DWORD HoldFile(const std::wstring& path, UniqueFileHandle& held) const;

private:
    std::unique_ptr<BYTE[]> user_;
    PSID serviceAccount_ = nullptr;  // in user_; null when the token could not be read
};

// FolderJudge().JudgeChain(path): whether the service may write to, run a tool in, or take a
// capsule from the folder |path|.
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
