#include "win/protected_files.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "win/unique_handle.h"

namespace win {
namespace {

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using UniqueLocal = std::unique_ptr<void, LocalFreeDeleter>;

// The owner TrustedInstaller: NT SERVICE\TrustedInstaller.
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(sid, type) != FALSE;
}

bool IsSid(PSID sid, const wchar_t* text) {
    PSID parsed = nullptr;
    if (!::ConvertStringSidToSidW(text, &parsed)) {
        return false;
    }
    const UniqueLocal owner(parsed);
    return ::EqualSid(sid, parsed) != FALSE;
}

// The user of this process's token, in |buffer|; null when it cannot be read.
PSID ProcessUser(std::unique_ptr<BYTE[]>& buffer) {
    UniqueHandle token;
    DWORD size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        return nullptr;
    }
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    buffer = std::make_unique<BYTE[]>(size);
    if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.get(), size, &size)) {
        return nullptr;
    }
    return reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid;
}

}  // namespace

bool CreateProtectedFolder(const std::wstring& path, FolderReaders readers) {
    // Protected (P): nothing inherited; folders and files below (OICI) get the same entries.
    const wchar_t* const sddl = readers == FolderReaders::kUsers
                                    ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)"
                                    : L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        return false;
    }
    const UniqueLocal descriptor(attributes.lpSecurityDescriptor);
    return ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

DWORD JudgeFolder(DWORD attributes, PSID owner, PSID serviceAccount) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return kErrorReparsePointEncountered;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_DIRECTORY;
    }
    const bool trusted =
        owner != nullptr && ::IsValidSid(owner) &&
        (IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid) ||
         IsSid(owner, kTrustedInstaller) ||
         (serviceAccount != nullptr && ::EqualSid(owner, serviceAccount)));
    return trusted ? ERROR_SUCCESS : ERROR_INVALID_OWNER;
}

DWORD CheckFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return ::GetLastError();
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return kErrorReparsePointEncountered;  // not opened: that would follow the link
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read =
        ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                nullptr, nullptr, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) {
        return read;
    }
    const UniqueLocal descriptorOwner(descriptor);
    std::unique_ptr<BYTE[]> user;
    return JudgeFolder(attributes, owner, ProcessUser(user));
}

bool IsLinkedFile(DWORD attributes, DWORD linkCount) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || linkCount > 1;
}

bool UnlinkFile(const std::wstring& path) {
    const UniqueFileHandle file(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !::GetFileInformationByHandle(file.Get(), &information)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (!IsLinkedFile(information.dwFileAttributes, information.nNumberOfLinks)) {
        return true;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return ::RemoveDirectoryW(path.c_str()) != FALSE;  // a folder link: the link goes
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

bool RemoveFolderTree(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
        while (find) {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") {
                RemoveFolderTree(path + L"\\" + name);
            }
            if (!::FindNextFileW(find.Get(), &entry)) {
                break;
            }
        }
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return ::RemoveDirectoryW(path.c_str()) != FALSE;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) != FALSE;
}

}  // namespace win
