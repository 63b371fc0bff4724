// What staging a capsule copies from where to where, and where the tool runs.
#include "capsule/staging_plan.h"

#include <gtest/gtest.h>

namespace {

using staging::CapsuleSource;
using staging::Plan;
using staging::StagedFile;

const staging::Folders kFolders = {L"C:\\Windows\\System32\\Firmware",
                                   L"C:\\Windows\\System32\\DriverStore\\FileRepository",
                                   L"C:\\Windows\\Firmware"};
const std::wstring kStore = kFolders.driverStore + L"\\abc_01130000.inf_amd64_1f";
const std::wstring kPackage = kFolders.firmware + L"\\pkg";

// |path| split as _wsplitpath_s does for the paths below.
staging::PathParts Split(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    const std::wstring file = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const size_t dot = file.rfind(L'.');
    return {path.substr(0, 2), slash == std::wstring::npos ? L"" : path.substr(2, slash - 1),
            file.substr(0, dot), dot == std::wstring::npos ? L"" : file.substr(dot)};
}

// "<source> -> <destination>" for each copy, "!" marking the optional and "*" the private ones.
std::vector<std::wstring> Copies(const Plan& plan) {
    std::vector<std::wstring> copies;
    for (const staging::Copy& copy : plan.copies) {
        copies.push_back(copy.source + L" -> " + copy.destination + (copy.required ? L"" : L" !") +
                         (copy.isPrivate ? L" *" : L""));
    }
    return copies;
}

TEST(StagingPlanTest, EachModeStagesItsFilesAndRunsTheToolWhereTheyLie) {
    const std::wstring exe = L"C:\\Pkg Dir\\QvNyxService.exe";
    const staging::ServiceImage image64{Split(exe), true}, image32{Split(exe), false};
    const std::wstring t = kFolders.staging;
    const struct {
        const char* row;
        std::wstring capsule;
        CapsuleSource source;
        const staging::ServiceImage* image;
        Plan::Outcome outcome;
        std::wstring toolFolder, toolFile, toastFile;
        std::vector<std::wstring> copies;
    } cases[] = {
        {"driver store",
         kStore + L"\\ABC_01130000.bin",
         CapsuleSource::kDriverStore,
         &image64,
         Plan::Outcome::kStage,
         t,
         L"QvKelFlash64.exe",
         L"QVToastNotificationActivator64.exe",
         {kStore + L"\\ABC_01130000.bin -> " + t + L"\\ABC_01130000.bin *",
          kStore + L"\\ABC_01130000.inf -> " + t + L"\\ABC_01130000.inf *",
          L"C:\\Pkg Dir\\QvKelFlash64.exe -> " + t + L"\\QvKelFlash64.exe",
          L"C:\\Pkg Dir\\QVToastNotificationActivator64.exe -> " + t +
              L"\\QVToastNotificationActivator64.exe",
          L"C:\\Pkg Dir\\QVFirmwareUpdate.jpg -> " + t + L"\\QVFirmwareUpdate.jpg !"}},
        {"store root, case differs",
         L"C:\\WINDOWS\\System32\\DriverStore\\FileRepository\\A_01.bin",
         CapsuleSource::kDriverStore,
         nullptr,
         Plan::Outcome::kStage,
         t,
         L"QvKelFlash64.exe",
         L"QVToastNotificationActivator64.exe",
         {}},
        {"firmware folder, 32-bit",
         kPackage + L"\\ABC_01130000.bin",
         CapsuleSource::kFirmwareFolder,
         &image32,
         Plan::Outcome::kStage,
         kPackage,
         L"QvKelFlash.exe",
         L"QVToastNotificationActivator.exe",
         {L"C:\\Pkg Dir\\QvKelFlash.exe -> " + kPackage + L"\\QvKelFlash.exe",
          L"C:\\Pkg Dir\\QVToastNotificationActivator.exe -> " + kPackage +
              L"\\QVToastNotificationActivator.exe",
          L"C:\\Pkg Dir\\QVFirmwareUpdate.jpg -> " + kPackage + L"\\QVFirmwareUpdate.jpg !"}},
        {"firmware folder root",
         kFolders.firmware + L"\\ABC_01130000.bin",
         CapsuleSource::kFirmwareFolder,
         nullptr,
         Plan::Outcome::kStage,
         kFolders.firmware,
         L"QvKelFlash.exe",
         L"QVToastNotificationActivator.exe",
         {}},
        {"doubled separator is no root",
         kFolders.firmware + L"\\\\ABC_01130000.bin",
         CapsuleSource::kFirmwareFolder,
         nullptr,
         Plan::Outcome::kNeedsServiceImage,
         kFolders.firmware + L"\\",
         L"",
         L"",
         {}},
        {"no service image",
         kStore + L"\\ABC_01130000.bin",
         CapsuleSource::kDriverStore,
         nullptr,
         Plan::Outcome::kNeedsServiceImage,
         t,
         L"QvKelFlash64.exe",
         L"QVToastNotificationActivator64.exe",
         {}},
        {"no folder",
         L"ABC_01130000.bin",
         CapsuleSource::kDriverStore,
         &image64,
         Plan::Outcome::kInvalidName,
         L"",
         L"",
         L"",
         {}},
        {"folder too long",
         std::wstring(260, L'd') + L"\\ABC_01130000.bin",
         CapsuleSource::kFirmwareFolder,
         &image64,
         Plan::Outcome::kInvalidName,
         L"",
         L"",
         L"",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        const Plan plan =
            staging::PlanStaging(c.capsule, Split(c.capsule), c.source, kFolders, c.image);
        EXPECT_EQ(plan.outcome, c.outcome);
        EXPECT_EQ(plan.toolFolder + L"|" + plan.toolFile + L"|" + plan.toastFile,
                  c.toolFolder + L"|" + c.toolFile + L"|" + c.toastFile);
        EXPECT_EQ(Copies(plan), c.copies);
        EXPECT_EQ(plan.removesEarlierCapsules, !c.copies.empty() && c.copies.size() == 5);
    }
}

}  // namespace
