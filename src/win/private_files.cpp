#include "win/private_files.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "win/protected_files.h"

namespace win {
namespace {

constexpr DWORD kCopyChunkBytes = 1 << 20;

// The descriptor of |readers|; empty, with the thread's last error, when it cannot be built.
UniqueHLocal MakeDescriptor(FileReaders readers) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            FileSecurityText(readers), SDDL_REVISION_1, &descriptor, nullptr)) {
        return UniqueHLocal();
    }
    return UniqueHLocal(descriptor);
}

// Frees the name |path|: a link is deleted itself, a plain file too.
DWORD FreeName(const std::wstring& path) {
    if (!UnlinkFile(path)) {
        return ::GetLastError();
    }
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return ERROR_SUCCESS;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError();
}

bool IsSet(HANDLE event) {
    return event != nullptr && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

DWORD ApplyDescriptor(HANDLE file, FileReaders readers);

// Whether |destination| is one plain file (no link, no second name) that holds exactly what
// |source| holds from its start; it then gets the access of |readers| and is kept. |source| is
// read from its current position and left at its start. A stop of |cancel| counts as a
// difference, and so does anything that cannot be read.
bool KeepIdenticalFile(HANDLE source, const std::wstring& destination, FileReaders readers,
                       HANDLE cancel) {
    // Shared with every other opener: a reader that holds the file must not make it look changed.
    const UniqueFileHandle existing(::CreateFileW(
        destination.c_str(), GENERIC_READ | WRITE_DAC,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!existing || !::GetFileInformationByHandle(existing.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1 || !::GetFileSizeEx(source, &size) ||
        info.nFileSizeHigh != static_cast<DWORD>(size.HighPart) ||
        info.nFileSizeLow != size.LowPart) {
        return false;
    }
    std::vector<char> expected(kCopyChunkBytes);
    std::vector<char> found(kCopyChunkBytes);
    bool same = true;
    for (;;) {
        DWORD read = 0;
        DWORD readThere = 0;
        if (IsSet(cancel) ||
            !::ReadFile(source, expected.data(), kCopyChunkBytes, &read, nullptr) ||
            !::ReadFile(existing.Get(), found.data(), kCopyChunkBytes, &readThere, nullptr) ||
            read != readThere ||
            !std::equal(expected.begin(), expected.begin() + read, found.begin())) {
            same = false;
            break;
        }
        if (read == 0) {
            break;
        }
    }
    ::SetFilePointer(source, 0, nullptr, FILE_BEGIN);
    return same && ApplyDescriptor(existing.Get(), readers) == ERROR_SUCCESS;
}

}  // namespace

const wchar_t* FileSecurityText(FileReaders readers) {
    // Protected (P): nothing is inherited from the folder.
    return readers == FileReaders::kUsers ? L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;BU)"
                                          : L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
}

UniqueFileHandle CreateFileWithReaders(const std::wstring& path, FileReaders readers,
                                       DWORD& error) {
    error = FreeName(path);
    if (error != ERROR_SUCCESS) {
        return UniqueFileHandle();
    }
    return CreateNewFileWithReaders(path, readers, error);
}

UniqueFileHandle CreateNewFileWithReaders(const std::wstring& path, FileReaders readers,
                                          DWORD& error) {
    const UniqueHLocal descriptor = MakeDescriptor(readers);
    if (!descriptor) {
        error = ::GetLastError();
        return UniqueFileHandle();
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC, 0, &attributes,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = file ? ERROR_SUCCESS : ::GetLastError();
    return file;
}

DWORD CopyFileWithReaders(const std::wstring& source, const std::wstring& destination,
                          FileReaders readers, HANDLE cancel) {
    const UniqueFileHandle from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                              nullptr));
    if (!from) {
        return ::GetLastError();
    }
    // A file that is already what the copy would write stays: anyone who may read it could hold
    // it open and so keep it from being replaced.
    if (KeepIdenticalFile(from.Get(), destination, readers, cancel)) {
        return ERROR_SUCCESS;
    }
    DWORD error = ERROR_SUCCESS;
    UniqueFileHandle to = CreateFileWithReaders(destination, readers, error);
    if (!to) {
        return error;
    }
    // Copied here rather than by CopyFileEx: the copy keeps the access rules the file was created
    // with, and the stop is looked at between chunks, so a large capsule never holds it up.
    std::vector<char> chunk(kCopyChunkBytes);
    for (;;) {
        if (IsSet(cancel)) {
            error = ERROR_REQUEST_ABORTED;
            break;
        }
        DWORD read = 0;
        if (!::ReadFile(from.Get(), chunk.data(), kCopyChunkBytes, &read, nullptr)) {
            error = ::GetLastError();
            break;
        }
        if (read == 0) {
            return ERROR_SUCCESS;
        }
        DWORD written = 0;
        if (!::WriteFile(to.Get(), chunk.data(), read, &written, nullptr)) {
            error = ::GetLastError();
            break;
        }
        if (written != read) {
            error = ERROR_WRITE_FAULT;
            break;
        }
    }
    to.Reset();
    ::DeleteFileW(destination.c_str());  // a partial copy is no copy
    return error;
}

namespace {

DWORD ApplyDescriptor(HANDLE file, FileReaders readers) {
    const UniqueHLocal descriptor = MakeDescriptor(readers);
    if (!descriptor) {
        return ::GetLastError();
    }
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }
    return ::SetSecurityInfo(file, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
}

}  // namespace

DWORD ProtectFile(const std::wstring& path, FileReaders readers) {
    const UniqueFileHandle file(
        ::CreateFileW(path.c_str(), WRITE_DAC | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return ::GetLastError();
    }
    return ApplyDescriptor(file.Get(), readers);
}

DWORD MoveFileWithReaders(const std::wstring& source, const std::wstring& destination,
                          FileReaders readers) {
    DWORD error = ProtectFile(source, readers);
    if (error == ERROR_SUCCESS) {
        error = FreeName(destination);
    }
    // A rename replaces the name it lands on, so even a link planted there after FreeName is
    // replaced rather than written through.
    if (error == ERROR_SUCCESS &&
        !::MoveFileExW(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = ::GetLastError();
    }
    return error;
}

}  // namespace win
