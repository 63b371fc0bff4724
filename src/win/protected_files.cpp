#include "win/protected_files.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <memory>

#include "win/path_rule.h"
#include "win/unique_handle.h"

namespace win {
namespace {

// NT SERVICE\TrustedInstaller, S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464,
// laid out as a SID.
const struct {
    BYTE revision, subAuthorityCount;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD subAuthority[6];
} kTrustedInstaller = {SID_REVISION,
                       6,
                       SECURITY_NT_AUTHORITY,
                       {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};

// What no one but the trusted accounts may be allowed on the files in a folder the service uses:
// writing (and appending), setting attributes or extended attributes, deleting, and changing the
// access list or owner.
constexpr ACCESS_MASK kFileChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA |
                                            FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE |
                                            WRITE_DAC | WRITE_OWNER;

// The same on the folder itself, where writing and appending add files and folders and setting
// its attributes is all a mount point needs; and deleting its entries.
constexpr ACCESS_MASK kChangingRights = kFileChangingRights | FILE_DELETE_CHILD;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(sid, type) != FALSE;
}

// SYSTEM, Administrators, TrustedInstaller or the service's own account.
bool IsTrusted(PSID sid, PSID serviceAccount) {
    return sid != nullptr && ::IsValidSid(sid) &&
           (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
            ::EqualSid(sid, const_cast<void*>(static_cast<const void*>(&kTrustedInstaller))) ||
            (serviceAccount != nullptr && ::EqualSid(sid, serviceAccount)));
}

// CREATOR OWNER or CREATOR GROUP: an entry for them that files inherit gives rights only to
// whoever creates a file, which on a folder the service uses only trusted accounts may do.
bool IsCreator(PSID sid) {
    return sid != nullptr &&
           (IsWellKnown(sid, WinCreatorOwnerSid) || IsWellKnown(sid, WinCreatorGroupSid));
}

// Whether an entry of |dacl| allows an untrusted account any of kChangingRights on the folder
// itself, or (an entry that files inherit, inherit-only or not) any of kFileChangingRights on the
// files created in it.
bool OthersMayChange(PACL dacl, PSID serviceAccount) {
    if (dacl == nullptr) {
        return true;  // no access list: everyone may do everything
    }
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry)) {
            return true;  // an access list that cannot be read through is not trusted
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        const bool onFolder = (header->AceFlags & INHERIT_ONLY_ACE) == 0;
        const bool onFiles = (header->AceFlags & OBJECT_INHERIT_ACE) != 0;
        if (!onFolder && !onFiles) {
            continue;  // only folders created below inherit it, and each is judged itself
        }
        PSID sid = nullptr;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:  // same layout; its condition is not evaluated
                sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
                break;
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                break;  // not used on files: counted as allowing someone unknown
            default:
                continue;  // denying, auditing and label entries allow nothing
        }
        // Every allowing entry keeps its mask right after the header.
        ACCESS_MASK mask = static_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask;
        ::MapGenericMask(&mask, &mapping);
        if (IsTrusted(sid, serviceAccount)) {
            continue;
        }
        if ((onFolder && (mask & kChangingRights) != 0) ||
            (onFiles && (mask & kFileChangingRights) != 0 && !IsCreator(sid))) {
            return true;
        }
    }
    return false;
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

// The length of the root of a full path: a drive (C:\ ), a share (\\server\share\ ), either of
// them after the prefix \\?\ (the share as \\?\UNC\server\share\ ); 0 for anything else.
size_t RootLength(const std::wstring& path) {
    size_t start = 0;
    bool share = false;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        start = 8;
        share = true;
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        start = 4;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        start = 2;
        share = true;
    }
    if (!share) {
        const bool drive =
            path.size() >= start + 3 && path[start + 1] == L':' && path[start + 2] == L'\\';
        return drive ? start + 3 : 0;
    }
    const size_t server = path.find(L'\\', start);
    const size_t shareEnd = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return shareEnd == std::wstring::npos ? path.size() : shareEnd + 1;
}

// Whether |path| is |folder| or lies below it, letters compared without case.
bool IsInFolder(const std::wstring& path, const std::wstring& folder) {
    return !folder.empty() && path.size() >= folder.size() &&
           SamePath(path.substr(0, folder.size()), folder) &&
           (path.size() == folder.size() || path[folder.size()] == L'\\' || folder.back() == L'\\');
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
    const UniqueHLocal descriptor(attributes.lpSecurityDescriptor);
    return ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

DWORD JudgeFolder(DWORD attributes, PSID owner, PACL dacl, PSID serviceAccount) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return kErrorReparsePointEncountered;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_DIRECTORY;
    }
    if (!IsTrusted(owner, serviceAccount)) {
        return ERROR_INVALID_OWNER;
    }
    return OthersMayChange(dacl, serviceAccount) ? kErrorFolderWritableByOthers : ERROR_SUCCESS;
}

std::vector<std::wstring> FolderChain(const std::wstring& path,
                                      const std::wstring& windowsDirectory) {
    std::wstring top = windowsDirectory;
    while (top.size() > RootLength(top) && top.back() == L'\\') {
        top.pop_back();
    }
    std::vector<std::wstring> chain;
    size_t next = RootLength(path);
    if (next == 0) {
        return chain;
    }
    if (RootLength(top) != 0 && IsInFolder(path, top)) {
        chain.push_back(top);
        next = top.size();
    }
    while (next < path.size()) {
        const size_t end = std::min(path.find(L'\\', next), path.size());
        if (end > next) {
            chain.push_back(path.substr(0, end));
        }
        next = end + 1;
    }
    return chain;
}

FolderJudge::FolderJudge() : serviceAccount_(ProcessUser(user_)) {}

namespace {

// JudgeFolder on the owner and access list read from |handle| (opened with READ_CONTROL).
DWORD JudgeOpened(HANDLE handle, DWORD attributes, PSID serviceAccount) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) {
        return read;
    }
    const UniqueHLocal descriptorOwner(descriptor);
    return JudgeFolder(attributes, owner, dacl, serviceAccount);
}

}  // namespace

DWORD FolderJudge::JudgeOne(const std::wstring& path) const {
    // Judged on the folder itself, not on what a link there leads to, and on one handle, so
    // the attributes, owner and access list read are those of one and the same folder.
    const UniqueFileHandle folder(::CreateFileW(
        path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    // The attributes alone: GetFileInformationByHandle would also ask for the volume's serial
    // number, which costs far more than everything else here.
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!folder || !::GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &information,
                                                   sizeof(information))) {
        return ::GetLastError();
    }
    // Some file systems (Wine's among them) open what a folder link leads to even when asked
    // not to; the name itself still says it is a link.
    const DWORD named = ::GetFileAttributesW(path.c_str());
    if (named != INVALID_FILE_ATTRIBUTES) {
        information.FileAttributes |= named & FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return JudgeOpened(folder.Get(), information.FileAttributes, serviceAccount_);
}

DWORD FolderJudge::HoldFile(const std::wstring& path, UniqueFileHandle& held) const {
    held.Reset();
    // Shared for reading only: while the handle lives nobody can write, replace or delete it.
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !::GetFileInformationByHandle(file.Get(), &information)) {
        return ::GetLastError();
    }
    const DWORD named = ::GetFileAttributesW(path.c_str());
    if (named == INVALID_FILE_ATTRIBUTES ||
        IsLinkedFile(information.dwFileAttributes | named, information.nNumberOfLinks)) {
        return kErrorReparsePointEncountered;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Its owner and access list are judged as a folder's are: nobody else may change it.
    if (const DWORD verdict = JudgeOpened(file.Get(), FILE_ATTRIBUTE_DIRECTORY, serviceAccount_)) {
        return verdict;
    }
    held = std::move(file);
    return ERROR_SUCCESS;
}

DWORD FolderJudge::JudgeChain(const std::wstring& path) const {
    wchar_t windows[MAX_PATH];
    const UINT windowsLength = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (windowsLength == 0 || windowsLength >= MAX_PATH) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_BUFFER_OVERFLOW;
    }
    const DWORD fullLength = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (fullLength == 0) {
        return ::GetLastError();
    }
    std::wstring full(fullLength, L'\0');
    full.resize(::GetFullPathNameW(path.c_str(), fullLength, &full[0], nullptr));
    const std::vector<std::wstring> chain = FolderChain(full, windows);
    if (chain.empty()) {
        return ERROR_BAD_PATHNAME;  // a root alone, or not a path to a folder at all
    }
    for (size_t index = 0; index < chain.size(); ++index) {
        const DWORD verdict = JudgeOne(chain[index]);
        if (verdict == ERROR_FILE_NOT_FOUND && index + 1 < chain.size()) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (verdict != ERROR_SUCCESS) {
            return verdict;
        }
    }
    return ERROR_SUCCESS;
}

DWORD CheckFolder(const std::wstring& path) {
    return FolderJudge().JudgeChain(path);
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
