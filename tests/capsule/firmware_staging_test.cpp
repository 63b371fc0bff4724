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
    bool found = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor) != 0 ||
                 dacl == nullptr;  // failed, or no DACL: open to all
    const win::UniqueHLocal owner(descriptor);
    for (DWORD i = 0; !found && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        found |= ::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
                 ::IsWellKnownSid(&ace->SidStart, WinWorldSid);
    }
    return found;
}

// The test sets the capsule source; the process's own is put back after.
class FirmwareStagingTest : public ::testing::Test {
    const bool saved_ = searchDriverStore;
    void TearDown() override { searchDriverStore = saved_; }
};

// The test's folders (kPackage: one in the driver store) and the files each may hold.
enum Folder { kService, kStoreRoot, kPackage, kFirmwareSub, kStaging, kDeep, kFirmware, kNone };
enum File { kBin, kInf, kTool, kToast, kLogo, kFolderTool, kFolderToast };

TEST_F(FirmwareStagingTest, StagesRunsTheToolAndRecordsTheOutcome) {
    wchar_t buffer[MAX_PATH];
    const std::wstring exe(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    BuildFwPathDIRID13();
    const std::wstring W = GetFirmwareFolderPath(), F = W + L"\\nyx_sub",
                       tools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER);
    // clang-format off
    const std::wstring names[] = {L"ABC_011200.bin", L"ABC_011200.inf", L"QvKelFlash64.exe",
        L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg", L"QvKelFlash.exe",
        L"QVToastNotificationActivator.exe"}, fake = tools + L"\\" + names[kTool];
    const std::map<Folder, std::wstring> at = {{kService, exe.substr(0, exe.rfind(L'\\'))},
        {kStoreRoot, driverStorePath}, {kPackage, driverStorePath + std::wstring(L"\\nyx_pkg")},
        {kFirmwareSub, F}, {kStaging, firmwareStagingFolder},
        {kDeep, F + L"\\" + std::wstring(229 - F.size(), L'd')}, {kFirmware, W}};
    const std::pair<Folder, File> sources[] = {{kPackage, kBin}, {kPackage, kInf},
        {kFirmwareSub, kBin}, {kDeep, kBin}, {kStoreRoot, kBin}, {kFirmware, kBin},
        {kFirmware, kFolderTool}, {kFirmware, kFolderToast}, {kService, kTool},
        {kService, kToast}, {kService, kLogo}};  // clang-format on
    const auto path = [&](Folder folder, File file) { return at.at(folder) + L"\\" + names[file]; };
    // The event of a failed copy of |file| from folder |from| to folder |to|.
    const auto copy = [&](const wchar_t* tag, Folder from, Folder to, File file, DWORD error) {
        return L"!CopyFile|src" + std::wstring(tag) + L"=\"" + path(from, file) + L"\", dest" +
               tag + L"=\"" + path(to, file) + L"\", error=" + std::to_wstring(error);
    };
    const std::wstring copied = L"Successfully copied ", earlier = L"line of an earlier update";
    const struct {
        const char* label;
        Folder folder;              // the capsule's
        Dword statusBefore;         // the record before: UpgradeStatus, and AttemptCount 2
        std::vector<File> missing;  // sources left out
        std::string toolOrder;      // exit code; "-": no user token; "stop": the stop is set
        bool toolStarted, result;   // the tool's process was created; Kel::UpgradeFirmware's
        bool rebootAfter;           // preset true: written false only when the tool is started
        Dword statusAfter;          // UpgradeStatus afterwards
        Lines outcome;              // failures reported ("!"), then log lines expected, in order
    } cases[] = {
        // clang-format off
        {"store, flashed", kPackage, 0, {}, "0", true, true, false, 3,
         {L"Starting new capsule update - old log file deleted",
          L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
          L"Source directory (DIRID13 NYX service location): ", copied + L".bin file to DIRID11 ",
          copied + L".inf file to DIRID11 ", copied + L"KEL executable DIRID11 ",
          copied + L"Toast Activator DIRID11 ", copied + L"QV Logo DIRID11 ", L"BIOS needs upgrade",
          L"ServiceLoop : update registry[LastBinFile]", L"KEL is running",
          L"Successfully set new upgrade status"}},
        {"store, tool fails, no logo", kPackage, 0, {kLogo}, "1", true, false, false, 2,
         {copy(L"", kService, kStaging, kLogo, 2), L"!KEL|1", L"!RunKel|1",
          L"Copy failed for QV Logo, error=2", L"RunKel failed "}},
        {"store root, no user", kStoreRoot, {}, {}, "-", false, false, false, {},
         {L"!GetSessionUserToken|1008", L"!RunKel|1008",
          L"Attempt not recorded: KEL did not run to its end"}},
        {"stop during staging", kPackage, 2, {}, "stop", false, false, true, 2,
         {copy(L"", kPackage, kStaging, kBin, 1235), copy(L"", kPackage, kStaging, kInf, 1235),
          copy(L"", kService, kStaging, kTool, 1235), copy(L"", kService, kStaging, kToast, 1235),
          copy(L"", kService, kStaging, kLogo, 1235), L"BIOS already upgraded"}},
        {"firmware subfolder", kFirmwareSub, 0, {}, "0", true, true, false, 3,
         {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + F,
          L"srcPath: " + exe}},
        {"paths too long", kDeep, 0, {kTool, kLogo}, "0", false, false, true, 0,
         {copy(L"", kService, kDeep, kTool, 2), copy(L"2", kService, kDeep, kToast, 206),
          copy(L"3", kService, kDeep, kLogo, 2), L"Copy failed at line 480" + path(kDeep, kTool)}},
        {"firmware root, reboot asked", kFirmware, 0, {}, "3010", true, true, true, 1, {}},
        {"no folder", kNone, 0, {}, "0", false, false, true, 0,
         {L"!UpgradeFirmware|Invalid binaryName: \"ABC_011200.bin\"", L"BIOS already upgraded"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const Folder folder : {kFirmware, kPackage, kFirmwareSub, kDeep, kStaging}) {
            const wchar_t* dir = at.at(folder).c_str();  // Wine may hold a tool's image a moment
            test::WaitUntil([&] { return test::RemoveTree(dir), ::CreateDirectoryW(dir, 0); },
                            10000, 50);
        }
        // Every file is a copy of the fake tool; from the store root, the staged tool is run.
        for (const auto& [folder, file] : sources) {
            ::DeleteFileW(path(folder, file).c_str());
            if (std::count(c.missing.begin(), c.missing.end(), file) == 0) {
                ::CopyFileW(fake.c_str(), path(folder, file).c_str(), FALSE);
            }
        }
        if (c.folder == kStoreRoot) {
            ::CopyFileW(fake.c_str(), path(kStaging, kTool).c_str(), FALSE);
        }
        c.statusBefore ? WriteServiceDword(kUpgradeStatusValueName, *c.statusBefore)
                       : DeleteServiceValue(kUpgradeStatusValueName);
        WriteServiceString(kLastBinFileValueName, earlier);
        WriteServiceDword(kAttemptCountValueName, 2);
        DeleteServiceValue(kAttemptBootValueName);
        test::SetToolOrder(c.toolOrder);
        ::DeleteFileW(ServiceLogPath().c_str());
        Log(earlier);
        searchDriverStore = c.folder == kPackage || c.folder == kStoreRoot;
        test::FakeSessions sessions("aU", c.toolOrder == "-");
        test::CapturingEventReporter events;
        bool reboot = true;
        win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, c.toolOrder == "stop", nullptr));
        const std::wstring binary = c.folder == kNone ? names[kBin] : path(c.folder, kBin);
        AttemptOptions options{3, L"boot T"};
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
        if (c.folder == kPackage && c.missing.empty() && c.toolOrder != "stop") {
            // Nobody but SYSTEM and Administrators may open the staged capsule and the log.
            EXPECT_FALSE(EveryoneMayOpen(path(kStaging, kBin)));
            EXPECT_FALSE(EveryoneMayOpen(path(kStaging, kInf)));
            EXPECT_FALSE(EveryoneMayOpen(ServiceLogPath()));
        }
        Lines outcome, among = c.outcome;  // the lines expected, and two that must not appear
        for (const test::RecordedEvent& e : events.Events()) {
            if (e.id == MSG_CALL_FAILED) {
                outcome.push_back(L"!" + e.strings.at(0) + L"|" + e.strings.at(1));
            }
        }
        among.insert(among.end(), {L"BuildFwPathDIRID13: " + at.at(kStoreRoot), earlier});
        const Lines logged = test::ReadServiceLogMessages(ServiceLogPath(), &among);
        outcome.insert(outcome.end(), logged.begin(), logged.end());
        EXPECT_EQ(outcome, c.outcome);
    }
    for (const auto& file : {path(kService, kTool), path(kService, kToast), path(kService, kLogo),
                             path(kStoreRoot, kBin), at.at(kPackage), W}) {
        test::RemoveTree(file);
        ::DeleteFileW(file.c_str());
    }
    // A 32-bit service stages the plain tool names.
    EXPECT_EQ(ChooseToolNames(tools + L"\\QvKelFlash32.exe").toast, toastBaseName);
}

}  // namespace
