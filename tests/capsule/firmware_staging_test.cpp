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

TEST_F(FirmwareStagingTest, StagesRunsTheToolAndRecordsTheOutcome) {
    // The capsule, its .inf, the tool, the activator, the logo; the firmware folder's own tool
    // and activator.
    // clang-format off
    const std::wstring files[] = {L"ABC_011200.bin", L"ABC_011200.inf", L"QvKelFlash64.exe",
        L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg", L"QvKelFlash.exe",
        L"QVToastNotificationActivator.exe"};
    const std::wstring tools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER);
    wchar_t buffer[MAX_PATH];
    const std::wstring exe(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    BuildFwPathDIRID13();
    const std::wstring W = GetFirmwareFolderPath(), F = W + L"\\nyx_sub";
    std::map<char, std::wstring> at = {
        {'P', exe.substr(0, exe.rfind(L'\\'))}, {'R', driverStorePath},
        {'S', driverStorePath + std::wstring(L"\\nyx_pkg")}, {'F', F}, {'T', firmwareStagingFolder},
        {'D', F + L"\\" + std::wstring(229 - F.size(), L'd')}, {'W', W}};
    // clang-format on
    const auto path = [&](char folder, int file) { return at[folder] + L"\\" + files[file]; };
    // The event of a failed copy of |file| from folder |from| to folder |to|.
    const auto copy = [&](const wchar_t* tag, char from, char to, int file, DWORD error) {
        return L"!CopyFile|src" + std::wstring(tag) + L"=\"" + path(from, file) + L"\", dest" +
               tag + L"=\"" + path(to, file) + L"\", error=" + std::to_wstring(error);
    };
    const std::wstring copied = L"Successfully copied ", earlier = L"line of an earlier update";
    const struct {
        const char* row;
        char folder;            // the capsule's (of |at|), or '-' for a path without one
        Dword statusBefore;     // the record before: UpgradeStatus, and AttemptCount 2
        const char* missing;    // sources left out: b(in), i(nf), t(ool), a(ctivator), l(ogo)
        const char* toolOrder;  // exit code; "-": no user token; "stop": the stop is set
        Dword statusAfter;      // UpgradeStatus afterwards (as before when no attempt stands)
        Lines outcome;          // failures reported ("!"), then log lines expected, in order
    } cases[] = {
        // clang-format off
        {"store, flashed", 'S', 0, "", "0", 3, {L"Starting new capsule update - old log file deleted",
         L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
         L"Source directory (DIRID13 NYX service location): ", copied + L".bin file to DIRID11 ",
         copied + L".inf file to DIRID11 ", copied + L"KEL executable DIRID11 ",
         copied + L"Toast Activator DIRID11 ", copied + L"QV Logo DIRID11 ", L"BIOS needs upgrade",
         L"ServiceLoop : update registry[LastBinFile]", L"KEL is running",
         L"Successfully set new upgrade status"}},
        {"store, tool fails, no logo", 'S', 0, "l", "1", 2, {copy(L"", 'P', 'T', 4, 2), L"!KEL|1",
         L"!RunKel|1", L"Copy failed for QV Logo, error=2", L"RunKel failed "}},
        {"store root, no user", 'R', {}, "", "-", {}, {L"!GetSessionUserToken|1008",
         L"!RunKel|1008", L"Attempt not recorded: KEL did not run to its end"}},
        {"stop during staging", 'S', 2, "", "stop", 2, {copy(L"", 'S', 'T', 0, 1235),
         copy(L"", 'S', 'T', 1, 1235), copy(L"", 'P', 'T', 2, 1235), copy(L"", 'P', 'T', 3, 1235),
         copy(L"", 'P', 'T', 4, 1235), L"BIOS already upgraded"}},
        {"firmware subfolder", 'F', 0, "", "0", 3,
         {L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + F,
          L"srcPath: " + exe}},
        {"paths too long", 'D', 0, "tl", "0", 0, {copy(L"", 'P', 'D', 2, 2),
         copy(L"2", 'P', 'D', 3, 206), copy(L"3", 'P', 'D', 4, 2),
         L"Copy failed at line 480" + path('D', 2)}},
        {"firmware root, reboot asked", 'W', 0, "", "3010", 1, {}},
        {"no folder", '-', 0, "", "0", 0,
         {L"!UpgradeFirmware|Invalid binaryName: \"ABC_011200.bin\"", L"BIOS already upgraded"}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        const std::string order = c.toolOrder, missing = c.missing;
        for (const char folder : std::string("WSFDT")) {  // Wine may hold a tool's image a moment
            test::WaitUntil(
                [&] {
                    test::RemoveTree(at[folder]);
                    return ::CreateDirectoryW(at[folder].c_str(), nullptr);
                },
                10000, 50);
        }
        // Every file is a copy of the fake tool.
        for (const char* f : {"S0", "S1", "F0", "D0", "R0", "W0", "W5", "W6", "P2", "P3", "P4",
                              c.folder == 'R' ? "T2" : "S0"}) {
            const std::wstring file = path(f[0], f[1] - '0');
            ::DeleteFileW(file.c_str());
            if (missing.find("bital##"[f[1] - '0']) == std::string::npos) {
                ::CopyFileW((tools + L"\\" + files[2]).c_str(), file.c_str(), FALSE);
            }
        }
        c.statusBefore ? WriteServiceDword(kUpgradeStatusValueName, *c.statusBefore)
                       : DeleteServiceValue(kUpgradeStatusValueName);
        WriteServiceString(kLastBinFileValueName, earlier);
        WriteServiceDword(kAttemptCountValueName, 2);
        test::SetToolOrder(order);
        ::DeleteFileW(ServiceLogPath().c_str());
        Log(earlier);
        searchDriverStore = c.folder == 'S' || c.folder == 'R';
        test::FakeSessions sessions("aU", order == "-");
        test::CapturingEventReporter events;
        bool reboot = true;
        win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, order == "stop", nullptr));

        const std::wstring binary = c.folder == '-' ? files[0] : path(c.folder, 0);
        AttemptOptions options;
        options.attemptCount = 3;
        const bool result = Kel::UpgradeFirmware(binary, stop.Get(), reboot, &options);
        const bool ran = c.statusAfter != c.statusBefore;  // the tool started and set its outcome
        EXPECT_EQ(options.toolStarted, ran);
        EXPECT_EQ(result, ran && (c.statusAfter == 1u || c.statusAfter == 3u));
        // Untouched unless the tool was to be started.
        EXPECT_EQ(reboot, (!ran && (order == "0" || order == "stop")) || c.statusAfter == 1u);
        // Either the attempt stands, or the record is exactly as it was; no journal is left.
        const attempt::Record record = ReadAttemptRecord();
        EXPECT_EQ(record.status, c.statusAfter);
        EXPECT_EQ(record.lastBinFile.value_or(L"-"), ran ? binary : earlier);
        EXPECT_EQ(record.attemptCount, ran ? 3u : 2u);
        EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, test::kServiceKey, L"AttemptJournal",
                                 RRF_RT_ANY, nullptr, nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND);
        // The tool ran where it was staged, after the attempt was recorded.
        auto seen = test::ReadToolRecord();
        const std::wstring tool = path(searchDriverStore ? 'T' : c.folder, c.folder == 'W' ? 5 : 2);
        EXPECT_EQ(seen["command_line"] + "|" + seen["upgrade_status"] + seen["attempt_count"],
                  ran ? test::Utf8(tool + L" -s -b") + "|13" : "|");
        if (c.folder == 'S' && missing.empty() && order != "stop") {
            // Nobody but SYSTEM and Administrators may open the staged capsule and the log.
            EXPECT_FALSE(EveryoneMayOpen(path('T', 0)));
            EXPECT_FALSE(EveryoneMayOpen(path('T', 1)));
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
                line == L"BuildFwPathDIRID13: " + at['R'] || line == earlier) {
                outcome.push_back(line);  // the lines expected, in their order
            }
        }
        EXPECT_EQ(outcome, c.outcome);
    }
    for (const auto& file : {path('P', 2), path('P', 3), path('P', 4), path('R', 0), at['S'], W}) {
        test::RemoveTree(file);
        ::DeleteFileW(file.c_str());
    }
    // A 32-bit service stages the plain tool names.
    EXPECT_EQ(ChooseToolNames(tools + L"\\QvKelFlash32.exe").toast, toastBaseName);
}

}  // namespace
