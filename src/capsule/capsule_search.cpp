#include "capsule/capsule_search.h"

#include <cwchar>

#include "versions/firmware_version.h"
#include "records/service_log.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

wchar_t windowsDirectory[kFolderPathBufferLength] = L"";
wchar_t driverStorePath[kFolderPathBufferLength] = L"";
wchar_t firmwareFolderPath[kFolderPathBufferLength] = L"";
bool searchDriverStore = false;

namespace {

// A path being put together in a fixed buffer of |Capacity| characters, terminator included.
// An append that would not fit leaves the text as it was and returns false, so a caller can
// refuse the whole path instead of using a cut one.
template <size_t Capacity>
class PathText {
public:
    PathText() { text_[0] = L'\0'; }

    bool Append(const wchar_t* text, size_t length) {
        if (length > Capacity - 1 - length_) {
            return false;
        }
        std::wmemcpy(text_ + length_, text, length);
        length_ += length;
        text_[length_] = L'\0';
        return true;
    }
    bool Append(const wchar_t* text) { return Append(text, std::wcslen(text)); }
    bool AppendRepeated(wchar_t c, size_t count) {
        if (count > Capacity - 1 - length_) {
            return false;
        }
        std::wmemset(text_ + length_, c, count);
        length_ += count;
        text_[length_] = L'\0';
        return true;
    }

    const wchar_t* Get() const { return text_; }
    size_t Length() const { return length_; }

private:
    wchar_t text_[Capacity];
    size_t length_ = 0;
};

using PathBuffer = PathText<MAX_PATH>;

struct VersionBytes {
    BYTE b1, b2, b3, b4;
    FirmwareVersion Number() const { return MakeFirmwareVersion(b1, b2, b3, b4); }
};

// Whether capsules in one folder of the search may compete: the folder and every folder above it
// are judged (win::CheckFolder's rule) when a capsule there first would beat the best one, and
// the verdict is kept for the rest of the search, so each folder is judged at most once and
// folders without such a capsule not at all. Lives on the stack frame that searches the folder.
class FolderTrust {
public:
    // The start folder, whose chain is judged from the top.
    FolderTrust(const wchar_t* folder, const win::FolderJudge& judge)
        : folder_(folder), judge_(judge) {}
    // A sub-folder of |parent|'s folder, judged alone once |parent| is trusted.
    FolderTrust(const wchar_t* folder, const FolderTrust& parent)
        : folder_(folder), judge_(parent.judge_), parent_(&parent) {}

    bool Refused() const {
        if (!judged_) {
            judged_ = true;
            if (parent_ == nullptr) {
                Judge(judge_.JudgeChain(folder_));
            } else if (parent_->Refused()) {
                verdict_ = parent_->verdict_;  // already logged for the folder above
            } else {
                Judge(judge_.JudgeOne(folder_));
            }
        }
        return verdict_ != ERROR_SUCCESS;
    }
    // Whether the folder is known to be refused, without judging it.
    bool KnownRefused() const { return judged_ && verdict_ != ERROR_SUCCESS; }

private:
    void Judge(DWORD verdict) const {
        verdict_ = verdict;
        if (verdict != ERROR_SUCCESS) {
            Log(L"Capsule folder may not be used: " + std::wstring(folder_) + L", error=" +
                std::to_wstring(verdict));
        }
    }

    const wchar_t* folder_;
    const win::FolderJudge& judge_;
    const FolderTrust* parent_ = nullptr;
    mutable bool judged_ = false;
    mutable DWORD verdict_ = ERROR_SUCCESS;
};

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Refills windowsDirectory; false (and an empty buffer) when the directory cannot be read or
// does not fit.
bool ReadWindowsDirectory() {
    const UINT length = ::GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        windowsDirectory[0] = L'\0';
        return false;
    }
    return true;
}

// Fills an empty process-wide folder buffer with the Windows directory, a backslash and
// |tail|; leaves it empty when the directory cannot be read or the path would not fit.
void BuildFolderPath(wchar_t (&folder)[kFolderPathBufferLength], const wchar_t* tail) {
    if (folder[0] != L'\0' || !ReadWindowsDirectory()) {
        return;
    }
    PathText<kFolderPathBufferLength> built;
    if (built.Append(windowsDirectory) && built.Append(L"\\") && built.Append(tail)) {
        std::wmemcpy(folder, built.Get(), built.Length() + 1);
    }
}

}  // namespace

void BuildFwPathDIRID13() {
    BuildFolderPath(driverStorePath, L"System32\\DriverStore\\FileRepository");
    Log(std::wstring(L"BuildFwPathDIRID13: ") + driverStorePath);
}

const wchar_t* GetFirmwareFolderPath() {
    BuildFolderPath(firmwareFolderPath, L"Firmware");
    return firmwareFolderPath;
}

void BuildFirmwareFolderPath() {
    GetFirmwareFolderPath();
}

bool FindNewestCapsule(BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4, wchar_t* path,
                       const std::wstring& family) {
    const wchar_t* folder = nullptr;
    if (searchDriverStore) {
        if (driverStorePath[0] == L'\0') {
            BuildFwPathDIRID13();
        }
        folder = driverStorePath;
    } else {
        folder = GetFirmwareFolderPath();
    }
    return SearchFromStartFolder(folder, b1, b2, b3, b4, path, family, searchDriverStore);
}

bool SearchFromStartFolder(const wchar_t* folder, BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4,
                           wchar_t* path, const std::wstring& family, bool familyPackagesOnly) {
    const bool haveFolder = folder != nullptr && folder[0] != L'\0';
    PathBuffer start;
    const bool fits = haveFolder && start.Append(folder) && start.Append(L"\\");
    Log(L"Starting Path: " + (haveFolder ? std::wstring(folder) : std::wstring()) + L"\\");
    if (path == nullptr) {
        return false;
    }
    path[0] = L'\0';
    // An empty folder would make the start path "\", the root of the current drive.
    if (!fits) {
        return false;
    }
    return SearchFolderForCapsule(start.Get(), b1, b2, b3, b4, path, family, familyPackagesOnly);
}

namespace {

// SearchFolderForCapsule's work on one folder, whose trust |trust| holds. With
// |familyPackagesOnly| the folder is the driver store: only its firmware package folders of the
// family are searched, and its own files do not count.
bool SearchLevel(const wchar_t* folder, BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4, wchar_t* path,
                 const std::wstring& family, const FolderTrust& trust,
                 bool familyPackagesOnly = false) {
    const size_t folderLength = std::wcslen(folder);
    // The start folder ends in a backslash already; deeper folders get one added.
    const bool needsSeparator = folder[folderLength - 1] != L'\\';

    VersionBytes bar{b1, b2, b3, b4};
    PathBuffer candidate;  // the best capsule of this level and below, when found
    bool haveCandidate = false;
    WIN32_FIND_DATAW entry;

    // Sub-folders first.
    PathBuffer pattern;
    if (pattern.Append(folder, folderLength) && pattern.Append(L"\\*.*")) {
        win::UniqueFindHandle find(::FindFirstFileW(pattern.Get(), &entry));
        if (find) {
            do {
                // A folder link (junction or symbolic link) may lead out of the store or
                // back into it: the search does not follow one.
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                    (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                    IsDotEntry(entry.cFileName) ||
                    (familyPackagesOnly && !FirmwarePackageSeries(entry.cFileName, family))) {
                    continue;
                }
                if (trust.KnownRefused()) {
                    break;  // nothing below a refused folder may compete either
                }
                PathBuffer subFolder;
                if (!subFolder.Append(folder, folderLength) ||
                    (needsSeparator && !subFolder.Append(L"\\")) ||
                    !subFolder.Append(entry.cFileName)) {
                    continue;
                }
                VersionBytes found = bar;
                wchar_t subResult[MAX_PATH];
                subResult[0] = L'\0';
                if (SearchLevel(subFolder.Get(), found.b1, found.b2, found.b3, found.b4, subResult,
                                family, FolderTrust(subFolder.Get(), trust)) &&
                    found.Number() > bar.Number()) {
                    PathBuffer replacement;
                    if (replacement.Append(subResult)) {
                        bar = found;
                        candidate = replacement;
                        haveCandidate = true;
                    }
                }
            } while (::FindNextFileW(find.Get(), &entry));
        }
    }

    // Then this folder's capsules of the family: "%s\%3s_??????*.bin".
    const size_t familyLength = std::wcslen(family.c_str());
    pattern = PathBuffer();
    if (!familyPackagesOnly && pattern.Append(folder, folderLength) && pattern.Append(L"\\") &&
        pattern.AppendRepeated(L' ', familyLength < 3 ? 3 - familyLength : 0) &&
        pattern.Append(family.c_str(), familyLength) && pattern.Append(L"_??????*.bin")) {
        win::UniqueFindHandle find(::FindFirstFileW(pattern.Get(), &entry));
        if (find) {
            do {
                // The pattern also matches short names and follows the old wildcard rules:
                // only a file whose own name is a capsule's competes.
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                    !IsCapsuleCandidateName(entry.cFileName, family)) {
                    continue;
                }
                VersionBytes found{};
                ParseCapsuleVersion(entry.cFileName, found.b1, found.b2, found.b3, found.b4);
                if (found.Number() <= bar.Number()) {
                    continue;
                }
                // A capsule that others could have put or changed there does not compete.
                if (trust.Refused()) {
                    break;
                }
                PathBuffer file;
                if (file.Append(folder, folderLength) && file.Append(L"\\") &&
                    file.Append(entry.cFileName)) {
                    bar = found;
                    candidate = file;
                    haveCandidate = true;
                }
            } while (::FindNextFileW(find.Get(), &entry));
        }
    }

    if (!haveCandidate) {
        return false;
    }
    std::wmemcpy(path, candidate.Get(), candidate.Length() + 1);
    b1 = bar.b1;
    b2 = bar.b2;
    b3 = bar.b3;
    b4 = bar.b4;
    return true;
}

}  // namespace

bool SearchFolderForCapsule(const wchar_t* folder, BYTE& b1, BYTE& b2, BYTE& b3, BYTE& b4,
                            wchar_t* path, const std::wstring& family, bool familyPackagesOnly) {
    if (folder == nullptr || folder[0] == L'\0' || path == nullptr) {
        return false;
    }
    const win::FolderJudge judge;
    return SearchLevel(folder, b1, b2, b3, b4, path, family, FolderTrust(folder, judge),
                       familyPackagesOnly);
}
