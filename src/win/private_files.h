// Files the service creates in its folders get their own access rules at creation, never only
// what the folder passes on: a file an ordinary user can open can also be held open, or locked,
// by that user while the service or the elevated tool needs it.
#pragma once

#include <windows.h>

#include <string>

#include "win/unique_handle.h"

namespace win {

// Who may read a file the service creates; SYSTEM and Administrators always have full control,
// nobody else may write, and nothing is inherited from the folder.
enum class FileReaders {
    kNobody,  // nobody else: the staged capsule, INF and tool, the service log
    kUsers,   // Users read and execute: the tool's activator and its picture
};

// The security descriptor, in SDDL, that a file with |readers| gets.
const wchar_t* FileSecurityText(FileReaders readers);

// Creates |path| anew with |readers|: a file or link of that name is deleted first (never what
// a link leads to). The file is returned open for writing, shared with nobody; empty, with
// |error|, on failure.
UniqueFileHandle CreateFileWithReaders(const std::wstring& path, FileReaders readers, DWORD& error);

// Creates |path| with |readers| when nothing has that name yet (CREATE_NEW): it fails with
// ERROR_FILE_EXISTS otherwise, and nothing is deleted.
UniqueFileHandle CreateNewFileWithReaders(const std::wstring& path, FileReaders readers,
                                          DWORD& error);

// Copies |source| to |destination|, which is created anew with |readers| first, in chunks of
// 1 MiB. A |destination| that is one plain file holding exactly the bytes of |source| is kept
// as it is and only given |readers|: a process holding it open blocks nothing. |cancel| (may be
// null) is an event that stops the copy when it is set, also between chunks: the copy then fails
// with ERROR_REQUEST_ABORTED. A failed copy deletes what it wrote. ERROR_SUCCESS or the error.
DWORD CopyFileWithReaders(const std::wstring& source, const std::wstring& destination,
                          FileReaders readers, HANDLE cancel);

// Gives the existing file |path| the access of |readers| (a file an earlier version created).
// ERROR_SUCCESS or the error.
DWORD ProtectFile(const std::wstring& path, FileReaders readers);

// Gives the file |source| the access of |readers| and then the name |destination| in the same
// folder, replacing what has that name: a link there is deleted itself, never written through
// or followed. ERROR_SUCCESS or the error; on failure |source| keeps its name.
DWORD MoveFileWithReaders(const std::wstring& source, const std::wstring& destination,
                          FileReaders readers);

}  // namespace win
