#include "capsule/staging_plan.h"

#include "capsule/tool_names.h"
#include "text/ascii_case.h"

namespace staging {
namespace {

// Joins a folder and a file name as _wmakepath_s does: a separator after a folder that lacks one.
std::wstring Join(const std::wstring& folder, const std::wstring& file) {
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') {
        return folder + file;
    }
    return folder + L'\\' + file;
}

}  // namespace

Plan PlanStaging(const std::wstring& capsulePath, const PathParts& capsule, CapsuleSource source,
                 const Folders& folders, const ServiceImage* image) {
    Plan plan;
    const size_t lastBackslash = capsulePath.rfind(L'\\');
    // A capsule path without a folder (or with one too long for its buffer) names nothing the
    // service could stage: the tool is never run for a capsule it did not stage.
    if (lastBackslash == std::wstring::npos || lastBackslash >= kPathCapacity) {
        plan.outcome = Plan::Outcome::kInvalidName;
        return plan;
    }
    plan.pathToCapsule = capsulePath.substr(0, lastBackslash);
    const bool driverStore = source == CapsuleSource::kDriverStore;
    // The comparison with the search root is literal: the search's path for a capsule lying
    // directly in the root has a doubled separator, and that capsule is staged like any other.
    const std::wstring& root = driverStore ? folders.driverStore : folders.firmware;
    const bool inRoot = text::EqualIgnoringAsciiCase(root, plan.pathToCapsule);
    plan.toolFolder = driverStore ? folders.staging : plan.pathToCapsule;
    if (driverStore) {
        plan.toolFile = kDriverStoreToolFile;
        plan.toastFile = kDriverStoreToastFile;
    } else if (inRoot) {
        // The tool is expected to lie in the firmware folder already.
        plan.toolFile = toolBaseName + L".exe";
        plan.toastFile = toastBaseName + L".exe";
    }
    if (inRoot) {
        return plan;
    }
    if (image == nullptr) {
        plan.outcome = Plan::Outcome::kNeedsServiceImage;
        return plan;
    }
    const std::wstring sourceFolder = image->parts.drive + image->parts.directory;
    if (driverStore) {
        const std::wstring capsuleFile = capsule.name + capsule.extension;
        const std::wstring infFile = capsule.name + L".inf";
        plan.removesEarlierCapsules = true;
        plan.copies = {
            {StagedFile::kCapsule, Join(plan.pathToCapsule, capsuleFile),
             Join(folders.staging, capsuleFile), true, true},
            {StagedFile::kInf, Join(plan.pathToCapsule, infFile), Join(folders.staging, infFile),
             true, true},
            {StagedFile::kTool, Join(sourceFolder, kDriverStoreToolFile),
             Join(folders.staging, kDriverStoreToolFile), true, true},
            {StagedFile::kToast, Join(sourceFolder, kDriverStoreToastFile),
             Join(folders.staging, kDriverStoreToastFile), true, false},
            {StagedFile::kLogo, Join(sourceFolder, logoFileName),
             Join(folders.staging, logoFileName), false, false},
        };
        return plan;
    }
    // A 32-bit service ships the plain names, a 64-bit one (or one of unknown type) the "64" ones.
    const std::wstring suffix = image->is64Bit ? L"64" : L"";
    const std::wstring& extension = image->parts.extension;
    const std::wstring tool = toolBaseName + suffix;
    const std::wstring toast = toastBaseName + suffix;
    plan.toolFile = tool + L".exe";
    plan.toastFile = toast + L".exe";
    plan.copies = {
        {StagedFile::kTool, sourceFolder + tool + extension,
         Join(plan.pathToCapsule, tool + extension), true, true},
        {StagedFile::kToast, sourceFolder + toast + extension,
         Join(plan.pathToCapsule, toast + extension), true, false},
        {StagedFile::kLogo, sourceFolder + logoFileName, Join(plan.pathToCapsule, logoFileName),
         false, false},
    };
    return plan;
}

}  // namespace staging
