// Staging a capsule and running the fake flashing tool in both capsule-source modes, with real
// folders, files, registry values and processes. The test program stands in for the service
// executable: the tool files are staged from its folder.
#include "capsule/firmware_staging.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <map>
#include <optional>

#include "capsule/capsule_search.h"
#include "capsule/kel.h"
#include "capsule/tool_names.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/attempt_record.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "support/test_support.h"

namespace {

using Lines = std::vector<std::wstring>;
using Dword = std::optional<DWORD>;

// Whether the file's DACL holds an entry for Everyone (under Wine: its "others" mode bits).
bool EveryoneMayOpen(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    const win::UniqueHLocal owner(descriptor);
    bool found = dacl == nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        found |= ::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
                 ::IsWellKnownSid(&ace->SidStart, WinWorldSid);
    }
    return found;
}

// The test sets the capsule source; the process's own is put back after.
class FirmwareStagingTest : public ::testing::Test {
protected:
    void TearDown() override { searchDriverStore = saved_; }

private:
    const bool saved_ = searchDriverStore;
};

// The folders of the test, and the files each may hold.
enum Folder {
    kService,
    kStoreRoot,
    kStorePackage,
    kFirmwareSub,
    kStaging,
    kDeep,
    kFirmware,
    kNone
};
enum File { kBin, kInf, kTool, kToast, kLogo, kFolderTool, kFolderToast };

TEST_F(FirmwareStagingTest, StagesRunsTheToolAndRecordsTheOutcome) {
    const std::wstring names[] = {L"ABC_011200.bin",
                                  L"ABC_011200.inf",
                                  L"QvKelFlash64.exe",
                                  L"QVToastNotificationActivator64.exe",
                                  L"QVFirmwareUpdate.jpg",
                                  L"QvKelFlash.exe",
                                  L"QVToastNotificationActivator.exe"};
    const std::wstring tools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER);
    wchar_t buffer[MAX_PATH];
    const std::wstring exe(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    BuildFwPathDIRID13();
    const std::wstring W = GetFirmwareFolderPath(), F = W + L"\\nyx_sub";
    const std::map<Folder, std::wstring> at = {
        {kService, exe.substr(0, exe.rfind(L'\\'))},
        {kStoreRoot, driverStorePath},
        {kStorePackage, driverStorePath + std::wstring(L"\\nyx_pkg")},
        {kFirmwareSub, F},
        {kStaging, firmwareStagingFolder},
        {kDeep, F + L"\\" + std::wstring(229 - F.size(), L'd')},
        {kFirmware, W}};
    const auto path = [&](Folder folder, File file) { return at.at(folder) + L"\\" + names[file]; };
    // The event of a failed copy of |file| from folder |from| to folder |to|.
    const auto copy = [&](const wchar_t* tag, Folder from, Folder to, File file, DWORD error) {
        return L"!CopyFile|src" + std::wstring(tag) + L"=\"" + path(from, file) + L"\", dest" +
               tag + L"=\"" + path(to, file) + L"\", error=" + std::to_wstring(error);
    };
    const std::wstring copied = L"Successfully copied ", earlier = L"line of an earlier update";
    const std::pair<Folder, File> sources[] = {{kStorePackage, kBin},    {kStorePackage, kInf},
                                               {kFirmwareSub, kBin},     {kDeep, kBin},
                                               {kStoreRoot, kBin},       {kFirmware, kBin},
                                               {kFirmware, kFolderTool}, {kFirmware, kFolderToast},
                                               {kService, kTool},        {kService, kToast},
                                               {kService, kLogo}};
    const struct {
        const char* label;
        Folder folder;              // the capsule's
        Dword statusBefore;         // the record before: UpgradeStatus, and AttemptCount 2
        std::vector<File> missing;  // sources left out
        const char* toolOrder;      // exit code; "-": no user token; "stop": the stop is set
        bool toolStarted;           // the tool's process was created
        bool result;                // Kel::UpgradeFirmware's
        bool rebootAfter;           // preset true: written false only when the tool is started
        Dword statusAfter;          // UpgradeStatus afterwards
        Lines outcome;              // failures reported ("!"), then log lines expected, in order
    } cases[] = {
        // clang-format off
        // label, capsule's folder, status before, missing, tool order,
        //   started, result, reboot after, status after, outcome
        {"store, flashed", kStorePackage, 0, {}, "0",
            true, true, false, 3,
         {L"Starting new capsule update - old log file deleted",
          L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
          L"Source directory (DIRID13 NYX service location): ", copied + L".bin file to DIRID11 ",
          copied + L".inf file to DIRID11 ", copied + L"KEL executable DIRID11 ",
          copied + L"Toast Activator DIRID11 ", copied + L"QV Logo DIRID11 ", L"BIOS needs upgrade",
          L"ServiceLoop : update registry[LastBinFile]", L"KEL is running",
          L"Successfully set new upgrade status"}},
        {"store, tool fails, no logo", kStorePackage, 0, {kLogo}, "1",
            true, false, false, 2,
         {copy(L"", kService, kStaging, kLogo, 2), L"!KEL|1", L"!RunKel|1",
          L"Copy failed for QV Logo, error=2", L"RunKel failed "}},
        {"store root, no user", kStoreRoot, {}, {}, "-",
            false, false, false, {},
         {L"!GetSessionUserToken|1008", L"!RunKel|1008",
          L"Attempt not recorded: KEL did not run to its end"}},
        {"stop during staging", kStorePackage, 2, {}, "stop",
            false, false, true, 2,
         {copy(L"", kStorePackage, kStaging, kBin, 1235),
          copy(L"", kStorePackage, kStaging, kInf, 1235),
          copy(L"", kService, kStaging, kTool, 1235), copy(L"", kService, kStaging, kToast, 1235),
          copy(L"", kService, kStaging, kLogo, 1235), L"BIOS already upgraded"}},
        {"firmware subfolder", kFirmwareSub, 0, {}, "0",
            true, true, false, 3,
         {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + F,
          L"srcPath: " + exe}},
        {"paths too long", kDeep, 0, {kTool, kLogo}, "0",
            false, false, true, 0,
         {copy(L"", kService, kDeep, kTool, 2), copy(L"2", kService, kDeep, kToast, 206),
          copy(L"3", kService, kDeep, kLogo, 2), L"Copy failed at line 480" + path(kDeep, kTool)}},
        {"firmware root, reboot asked", kFirmware, 0, {}, "3010",
            true, true, true, 1, {}},
        {"no folder", kNone, 0, {}, "0",
            false, false, true, 0,
         {L"!UpgradeFirmware|Invalid binaryName: \"ABC_011200.bin\"", L"BIOS already upgraded"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string order = c.toolOrder;
        for (const Folder folder : {kFirmware, kStorePackage, kFirmwareSub, kDeep, kStaging}) {
            test::WaitUntil(  // Wine may hold a tool's image a moment
                [&] {
                    test::RemoveTree(at.at(folder));
                    return ::CreateDirectoryW(at.at(folder).c_str(), nullptr);
                },
                10000, 50);
        }
        // Every file is a copy of the fake tool.
        for (const auto& [folder, file] : sources) {
            const std::wstring target = path(folder, file);
            ::DeleteFileW(target.c_str());
            if (std::count(c.missing.begin(), c.missing.end(), file) == 0) {
                ::CopyFileW((tools + L"\\" + names[kTool]).c_str(), target.c_str(), FALSE);
            }
        }
        if (c.folder == kStoreRoot) {  // the tool already in the staging folder is run
            ::CopyFileW((tools + L"\\" + names[kTool]).c_str(), path(kStaging, kTool).c_str(),
                        FALSE);
        }
        c.statusBefore ? WriteServiceDword(kUpgradeStatusValueName, *c.statusBefore)
                       : DeleteServiceValue(kUpgradeStatusValueName);
        WriteServiceString(kLastBinFileValueName, earlier);
        WriteServiceDword(kAttemptCountValueName, 2);
        DeleteServiceValue(kAttemptBootValueName);
        test::SetToolOrder(order);
        ::DeleteFileW(ServiceLogPath().c_str());
        Log(earlier);
        searchDriverStore = c.folder == kStorePackage || c.folder == kStoreRoot;
        test::FakeSessions sessions("aU", order == "-");
        test::CapturingEventReporter events;
        bool reboot = true;
        win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, order == "stop", nullptr));

        const std::wstring binary = c.folder == kNone ? names[kBin] : path(c.folder, kBin);
        AttemptOptions options;
        options.attemptCount = 3;
        options.boot = L"boot T";
        EXPECT_EQ(Kel::UpgradeFirmware(binary, stop.Get(), reboot, &options), c.result);
        EXPECT_EQ(options.toolStarted, c.toolStarted);
        EXPECT_EQ(reboot, c.rebootAfter);
        // Either the attempt stands, or the record is exactly as it was; no journal is left.
        const attempt::Record record = ReadAttemptRecord().record;
        EXPECT_EQ(record.status,
                  c.statusAfter ? std::optional(UpgradeStatus(*c.statusAfter)) : std::nullopt);
        EXPECT_EQ(record.lastBinFile.value_or(L"-"), c.toolStarted ? binary : earlier);
        EXPECT_EQ(record.attemptCount, c.toolStarted ? 3u : 2u);
        EXPECT_EQ(record.boot.value_or(L"-"), c.toolStarted ? L"boot T" : L"-");
        EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, L"AttemptJournal",
                                 RRF_RT_ANY, nullptr, nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND);
        // The tool ran where it was staged, after the attempt was recorded.
        auto seen = test::ReadToolRecord();
        const Folder toolFolder = searchDriverStore ? kStaging : c.folder;
        const std::wstring tool =
            c.toolStarted ? path(toolFolder, c.folder == kFirmware ? kFolderTool : kTool) : L"";
        EXPECT_EQ(seen["command_line"] + "|" + seen["upgrade_status"] + seen["attempt_count"],
                  c.toolStarted ? test::Utf8(tool + L" -s -b") + "|13" : "|");
        if (c.folder == kStorePackage && c.missing.empty() && order != "stop") {
            // Nobody but SYSTEM and Administrators may open the staged capsule and the log.
            EXPECT_FALSE(EveryoneMayOpen(path(kStaging, kBin)));
            EXPECT_FALSE(EveryoneMayOpen(path(kStaging, kInf)));
            EXPECT_FALSE(EveryoneMayOpen(ServiceLogPath()));
        }
        Lines outcome;
        for (const test::RecordedEvent& e : events.Events()) {
            if (e.id == MSG_CALL_FAILED) {
                outcome.push_back(L"!" + e.strings.at(0) + L"|" + e.strings.at(1));
            }
        }
        for (const std::wstring& line : test::ReadServiceLogMessages(ServiceLogPath())) {
            if (std::count(c.outcome.begin(), c.outcome.end(), line) != 0 ||
                line == L"BuildFwPathDIRID13: " + at.at(kStoreRoot) || line == earlier) {
                outcome.push_back(line);  // the lines expected, in their order
            }
        }
        EXPECT_EQ(outcome, c.outcome);
    }
    for (const auto& file : {path(kService, kTool), path(kService, kToast), path(kService, kLogo),
                             path(kStoreRoot, kBin), at.at(kStorePackage), W}) {
        test::RemoveTree(file);
        ::DeleteFileW(file.c_str());
    }
    // A 32-bit service stages the plain tool names.
    EXPECT_EQ(ChooseToolNames(tools + L"\\QvKelFlash32.exe").toast, toastBaseName);
}

}  // namespace
