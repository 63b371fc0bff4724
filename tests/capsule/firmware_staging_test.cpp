// Staging a capsule and running the fake flashing tool in both capsule-source modes, with real
// folders, files, registry values and processes. The test program stands in for the service
// executable: the tool files are staged from its folder.
#include "capsule/firmware_staging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "capsule/capsule_search.h"
#include "capsule/kel.h"
#include "capsule/tool_names.h"
#include "fake_sessions.h"
#include "fake_tool_control.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "support/test_support.h"

namespace {

TEST(FirmwareStagingTest, StagesRunsTheToolAndRecordsTheOutcome) {
    // The capsule, its .inf, the tool, the activator, the logo ("bital"); the firmware's tool and
    // activator.
    const std::wstring files[] = {L"ABC_011200.bin",
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
    // clang-format off
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
        // The capsule's folder (of |at|, - for none), UpgradeStatus on entry (-1: none), sources
        // left out (of "bital"), the tool's exit code (-: no user token; stop: the stop event is
        // set), UpgradeStatus after.
        const char* setup;
        std::vector<std::wstring> outcome;  // the failures reported ("!"), log lines in order
    } cases[] = {
        // clang-format off
        {"S 0 - 0 3", {L"Starting new capsule update - old log file deleted",
         L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
         L"Source directory (DIRID13 NYX service location): ", copied + L".bin file to DIRID11 ",
         copied + L".inf file to DIRID11 ", copied + L"KEL executable DIRID11 ",
         copied + L"Toast Activator DIRID11 ", copied + L"QV Logo DIRID11 ", L"BIOS needs upgrade",
         L"KEL is running", L"Successfully set new upgrade status"}},
        {"S 0 l 1 2", {copy(L"", 'P', 'T', 4, 2), L"!KEL|1", L"!RunKel|1",
         L"Copy failed for QV Logo, error=2", L"RunKel failed "}},
        {"S 3 b 0 3", {copy(L"", 'S', 'T', 0, 2), L"Copy failed for .bin file, error=2",
         L"BIOS already upgraded"}},
        {"R -1 - - -1", {L"!GetSessionUserToken|1008", L"!RunKel|1008",
         L"Attempt not recorded: KEL did not run to its end"}},
        {"S 2 - stop 2", {L"!RunKel|1223", L"Service is stopping: KEL not started"}},
        {"F 0 - 0 3", {
         L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + F,
         L"srcPath: " + exe}},
        {"D 0 tl 0 0", {copy(L"", 'P', 'D', 2, 2), copy(L"2", 'P', 'D', 3, 206),  // too long
         copy(L"3", 'P', 'D', 4, 2), L"Copy failed at line 480" + path('D', 2)}},
        {"W 0 - 3010 1", {}},
        {"- 0 - 0 0", {L"!UpgradeFirmware|Invalid binaryName: \"ABC_011200.bin\"",
         L"BIOS already upgraded"}},
        {"S 1 - 0 3", {L"BIOS needs upgrade"}},  // a pending flash does not hold a newer one
    };  // clang-format on
    // Lines no row expects unless it names them.
    const std::wstring unexpected[] = {earlier, L"BuildFwPathDIRID13: " + at['R']};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        char capsule = 0;
        int status = 0, final = 0;
        std::string missing, order;
        std::istringstream(c.setup) >> capsule >> status >> missing >> order >> final;
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
                              capsule == 'R' ? "T2" : "S0"}) {
            const std::wstring file = path(f[0], f[1] - '0');
            ::DeleteFileW(file.c_str());
            if (missing.find("bital##"[f[1] - '0']) == std::string::npos) {
                ::CopyFileW((tools + L"\\" + files[2]).c_str(), file.c_str(), FALSE);
            }
        }
        status < 0 ? DeleteServiceValue(kUpgradeStatusValueName)
                   : WriteServiceDword(kUpgradeStatusValueName, status);
        WriteServiceString(kLastBinFileValueName, earlier);
        test::SetToolOrder(order);
        ::DeleteFileW(ServiceLogPath().c_str());
        Log(earlier);
        searchDriverStore = capsule == 'S' || capsule == 'R';
        test::FakeSessions sessions("aU", order == "-");
        test::CapturingEventReporter events;
        bool reboot = true;
        win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, order == "stop", nullptr));

        const std::wstring binary = capsule == '-' ? files[0] : path(capsule, 0);
        const bool result = Kel::UpgradeFirmware(binary, stop.Get(), reboot);
        const bool ran = final != status;  // the tool started and set its outcome
        EXPECT_EQ(result, ran && (final == 1 || final == 3));
        EXPECT_EQ(reboot, (!ran && order == "0") || final == 1);
        // Either the attempt is on record or both values are as they were.
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"UpgradeStatus").value_or(-1),
                  DWORD(final));
        std::wstring lastBinFile;
        ReadServiceString(kLastBinFileValueName, lastBinFile);
        EXPECT_EQ(lastBinFile.c_str(), ran ? binary : earlier);
        // The tool ran where it was staged, after the status became 1.
        auto record = test::ReadToolRecord();
        const std::wstring tool = path(searchDriverStore ? 'T' : capsule, capsule == 'W' ? 5 : 2);
        EXPECT_EQ(record["command_line"] + "|" + record["upgrade_status"],
                  ran ? test::Utf8(tool + L" -s -b") + "|1" : "|");
        std::vector<std::wstring> outcome;
        for (const test::RecordedEvent& e : events.Events()) {
            if (e.id == MSG_CALL_FAILED) {
                outcome.push_back(L"!" + e.strings.at(0) + L"|" + e.strings.at(1));
            }
        }
        for (const std::wstring& line : test::ReadServiceLogMessages(ServiceLogPath())) {
            if (std::count(c.outcome.begin(), c.outcome.end(), line) != 0 ||
                std::count(unexpected, std::end(unexpected), line) != 0) {
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
