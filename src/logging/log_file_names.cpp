#include "logging/log_file_names.h"

#include <algorithm>
#include <cwchar>

namespace QV {
namespace Shared {

bool ModuleBaseNameFromPath(const std::wstring& fullPath, std::wstring& baseName) {
    const std::size_t slash = fullPath.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return false;
    }
    std::wstring name = fullPath.substr(slash + 1);
    const std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) {
        name.erase(dot);
    }
    baseName = name;
    return true;
}

std::wstring LogMutexName(const std::wstring& path) {
    std::wstring name = path;
    const std::size_t colon = name.find(L':');
    if (colon != std::wstring::npos && colon > 0) {
        name.erase(0, colon + 1);
    }
    std::replace(name.begin(), name.end(), L'\\', L'.');
    return L"Global\\" + name;
}

std::wstring ArchiveName(const std::wstring& base, int number) {
    wchar_t suffix[32];
    std::swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L"_%04d.log", number);
    return base + suffix;
}

ArchiveRotationPlan PlanArchiveRotation(std::vector<ArchiveFile> found) {
    // Archive names differ only in their number, so among archives of equal time the
    // descending name order puts the higher number (the older one) first.
    std::sort(found.begin(), found.end(), [](const ArchiveFile& left, const ArchiveFile& right) {
        if (left.lastWriteTime != right.lastWriteTime) {
            return left.lastWriteTime < right.lastWriteTime;
        }
        return left.name > right.name;
    });

    ArchiveRotationPlan plan;
    // The rotated log file becomes one more archive, so at most eight may stay.
    std::size_t firstKept = 0;
    while (found.size() - firstKept >= static_cast<std::size_t>(kMaxLogArchives)) {
        plan.deletions.push_back(found[firstKept].name);
        ++firstKept;
    }
    int number = static_cast<int>(found.size() - firstKept) + 1;
    for (std::size_t i = firstKept; i < found.size(); ++i) {
        plan.renumbering.push_back({found[i].name, number});
        --number;
    }
    return plan;
}

}  // namespace Shared
}  // namespace QV
