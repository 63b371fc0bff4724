// What staging a capsule copies from where to where, and where the tool runs.
#include "capsule/staging_plan.h"

#include <gtest/gtest.h>

namespace {

using staging::CapsuleSource;
using Outcome = staging::Plan::Outcome;

const staging::Folders kFolders = {L"C:\\W\\System32\\Firmware", L"C:\\W\\Store", L"C:\\W\\Fw"};

// |path| split as _wsplitpath_s splits these paths.
staging::PathParts Split(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\'), dot = path.rfind(L'.');
    return {path.substr(0, 2), path.substr(2, slash - 1), path.substr(slash + 1, dot - slash - 1),
            path.substr(dot)};
}

TEST(StagingPlanTest, EachModeStagesItsFilesAndRunsTheToolWhereTheyLie) {
    const staging::ServiceImage image64{Split(L"C:\\P d\\QvNyxService.exe"), true};
    const staging::ServiceImage image32{image64.parts, false};
    const std::wstring t = kFolders.staging + L"\\", p = L"C:\\P d\\", k = L"C:\\W\\Fw\\k\\",
                       s64 = kFolders.staging +
                             L"|QvKelFlash64.exe|QVToastNotificationActivator64.exe",
                       tools32 = L"|QvKelFlash.exe|QVToastNotificationActivator.exe";
    const CapsuleSource store = CapsuleSource::kDriverStore, fw = CapsuleSource::kFirmwareFolder;
    const Outcome stage = Outcome::kStage;
    const struct {
        const char* row;
        std::wstring capsule;
        CapsuleSource source;
        const staging::ServiceImage* image;
        Outcome outcome;
        std::wstring tool;  // "<folder>|<tool file>|<activator file>"
        // "<source> > <destination>" per copy; "!" marks optional copies, "*" private ones.
        std::vector<std::wstring> copies;
    } cases[] = {
        // clang-format off
        {"driver store", L"C:\\W\\Store\\pkg\\A_01.bin", store, &image64, stage, s64,
         {L"C:\\W\\Store\\pkg\\A_01.bin > " + t + L"A_01.bin *",
          L"C:\\W\\Store\\pkg\\A_01.inf > " + t + L"A_01.inf *",
          p + L"QvKelFlash64.exe > " + t + L"QvKelFlash64.exe *",
          p + L"QVToastNotificationActivator64.exe > " + t + L"QVToastNotificationActivator64.exe",
          p + L"QVFirmwareUpdate.jpg > " + t + L"QVFirmwareUpdate.jpg !"}},
        {"store root, case differs", L"C:\\w\\STORE\\A_01.bin", store, nullptr, stage, s64, {}},
        {"firmware folder, 32-bit", k + L"A_01.bin", fw, &image32, stage, L"C:\\W\\Fw\\k" + tools32,
         {p + L"QvKelFlash.exe > " + k + L"QvKelFlash.exe *",
          p + L"QVToastNotificationActivator.exe > " + k + L"QVToastNotificationActivator.exe",
          p + L"QVFirmwareUpdate.jpg > " + k + L"QVFirmwareUpdate.jpg !"}},
        {"firmware root", L"C:\\W\\Fw\\A_01.bin", fw, nullptr, stage, L"C:\\W\\Fw" + tools32, {}},
        {"doubled separator: no root, and no service image", L"C:\\W\\Fw\\\\A_01.bin", fw, nullptr,
         Outcome::kNeedsServiceImage, L"C:\\W\\Fw\\||", {}},
        {"no folder", L"A_01.bin", store, &image64, Outcome::kInvalidName, L"||", {}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        const staging::Plan plan =
            staging::PlanStaging(c.capsule, Split(c.capsule), c.source, kFolders, c.image);
        EXPECT_EQ(plan.outcome, c.outcome);
        EXPECT_EQ(plan.toolFolder + L"|" + plan.toolFile + L"|" + plan.toastFile, c.tool);
        std::vector<std::wstring> copies;
        for (const staging::Copy& copy : plan.copies) {
            copies.push_back(copy.source + L" > " + copy.destination +
                             (copy.required ? L"" : L" !") + (copy.isPrivate ? L" *" : L""));
        }
        EXPECT_EQ(copies, c.copies);
        EXPECT_EQ(plan.removesEarlierCapsules, c.copies.size() == 5);
    }
}

}  // namespace
