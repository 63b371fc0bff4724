// Staging a capsule and running the fake flashing tool in both capsule-source modes, with real
// folders, files, registry values and processes. The test program stands in for the service
// executable: the tool files are staged from its folder.
#include "capsule/firmware_staging.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
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

const std::wstring kTools = test::HostPathToWindows(NYX_FAKE_TOOL_FOLDER);
// The capsule, its .inf, the tool, the activator and the logo: the letters of "bital".
const std::wstring kFiles[] = {L"ABC_011200.bin", L"ABC_011200.inf", L"QvKelFlash64.exe",
                               L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg"};

// Makes GetModuleFileNameW report a program path longer than any path buffer, for its lifetime.
class LongProgramPath {
public:
    LongProgramPath() : saved_(entry_->FullDllName) {
        const auto bytes = static_cast<USHORT>(path_.size() * sizeof(wchar_t));
        entry_->FullDllName = {bytes, bytes, &path_[0]};
    }
    ~LongProgramPath() { entry_->FullDllName = saved_; }

private:
    static LDR_DATA_TABLE_ENTRY* ProgramEntry() {
        PROCESS_BASIC_INFORMATION process{};
        ::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &process,
                                    sizeof(process), nullptr);
        return CONTAINING_RECORD(process.PebBaseAddress->Ldr->InMemoryOrderModuleList.Flink,
                                 LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    }
    LDR_DATA_TABLE_ENTRY* const entry_ = ProgramEntry();
    const UNICODE_STRING saved_;
    std::wstring path_ = L"C:\\" + std::wstring(300, L'p') + L".exe";
};

TEST(FirmwareStagingTest, StagesRunsTheToolAndRecordsTheOutcome) {
    wchar_t program[MAX_PATH];
    const std::wstring exe(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    BuildFwPathDIRID13();
    const std::wstring W = GetFirmwareFolderPath(), F = W + L"\\nyx_sub";
    std::map<char, std::wstring> at = {
        // clang-format off
        {'P', exe.substr(0, exe.rfind(L'\\'))}, {'R', driverStorePath},
        {'T', firmwareStagingFolder},
        {'S', driverStorePath + std::wstring(L"\\nyx_pkg")}, {'W', W}, {'F', F},
        {'D', F + L"\\" + std::wstring(229 - F.size(), L'd')}};  // clang-format on
    const auto path = [&](char folder, int file) { return at[folder] + L"\\" + kFiles[file]; };
    // The event of a failed copy of |file| from folder |from| to folder |to|.
    const auto copy = [&](const wchar_t* tag, char from, char to, int file, DWORD error) {
        return L"!CopyFile|src" + std::wstring(tag) + L"=\"" + path(from, file) + L"\", dest" +
               tag + L"=\"" + path(to, file) + L"\", error=" + std::to_wstring(error);
    };
    const std::wstring copyFailed = L"Copy failed for ", copied = L"Successfully copied ";
    const struct {
        // The capsule's folder (a key of |at|, - for none), UpgradeStatus on entry (-1 for none),
        // sources removed first (of "bital"; x: the program's path is too long), the tool's exit
        // code (- for no user session), UpgradeStatus afterwards, what the destination holds.
        const char* setup;
        std::vector<std::wstring> outcome;  // the failures reported ("!"), log lines in order
    } cases[] = {
        // clang-format off
        {"S 0 - 0 3 bital", {
         L"UpgradeFirmware for DIRID13- pathToCapsule (DIRID 13 BIOS location): ",
         L"Source directory (DIRID13 NYX service location): ", copied + L".bin file to DIRID11 ",
         copied + L".inf file to DIRID11 ", copied + L"KEL executable DIRID11 ",
         copied + L"Toast Activator DIRID11 ", copied + L"QV Logo DIRID11 ", L"BIOS needs upgrade",
         L"KEL is running", L"Successfully set new upgrade status"}},
        {"S 0 l 3010 1 bita", {copy(L"", 'P', 'T', 4, 2), copyFailed + L"QV Logo, error=2",
         L"KEL is running"}},
        {"S 0 - 1 2 bital", {L"!KEL|1", L"!RunKel|*", L"RunKel failed "}},
        {"S 0 bita 0 0 l", {copy(L"", 'S', 'T', 0, 2), copy(L"", 'S', 'T', 1, 2),
         copy(L"", 'P', 'T', 2, 2), copy(L"", 'P', 'T', 3, 2), copyFailed + L".bin file, error=2",
         copyFailed + L".inf file, error=2", copyFailed + L"KEL executable, error=2",
         copyFailed + L"Toast Activator, error=2", L"BIOS already upgraded"}},
        {"R 0 - 0 3 t", {L"KEL is running"}},
        {"S 0 x 0 0 -", {L"!GetModuleFileName failed|error=0x000000ce",
         L"GetModuleFileName failed: 206"}},
        {"F -1 - 0 3 tal", {
         L"UpgradeFirmware for DIRID10 - pathToCapsule - (DIRID 10 BIOS location): " + F,
         L"srcPath: " + exe, L"BIOS needs upgrade", L"Successfully set new upgrade status"}},
        {"F 0 tl 0 0 a", {copy(L"", 'P', 'F', 2, 2), copy(L"3", 'P', 'F', 4, 2),
         L"Copy failed at line 480" + path('F', 2), L"BIOS already upgraded"}},
        {"D 0 - 0 0 tl", {copy(L"2", 'P', 'D', 3, 206)}},  // a destination of 265 characters
        {"F 0 x 0 0 -", {L"!GetModuleFileName failed. |error=0x000000ce",
         L"bool Kel::UpgradeFirmware - GetModuleFileName failed: 206"}},
        {"W 0 - 0 3 -", {}},
        {"F 0 - - 0 tal", {L"!GetSessionUserToken|1008", L"!RunKel|*"}},
        {"- 0 - 0 0 -", {L"!UpgradeFirmware|Invalid binaryName: \"ABC_011200.bin\"",
         L"BIOS already upgraded"}},
        {"S 1 - 0 1 -", {L"Entered UpgradeFirmware() - ", L"BIOS already upgraded"}},
        {"F 2 - 0 2 -", {}},
        {"F 3 - 0 3 -", {}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        char capsule = 0;
        int status = 0, final = 0;
        std::string missing, order, staged;
        std::istringstream(c.setup) >> capsule >> status >> missing >> order >> final >> staged;
        test::WaitUntil(
            [&] {  // Wine may hold a tool's image a moment after the tool ended
                test::RemoveTree(at['S']);
                test::RemoveTree(at['F']);
                for (int file = 0; file < 5; ++file) {
                    ::DeleteFileW(path('T', file).c_str());
                }
                return !test::FileExists(at['F']) && !test::FileExists(path('T', 2));
            },
            10000, 50);
        for (const char folder : {'S', 'F', 'D'}) {
            ::CreateDirectoryW(at[folder].c_str(), nullptr);
        }
        for (const auto& file : {path('S', 0), path('S', 1), path('F', 0), path('D', 0),
                                 path('R', 0), path('W', 0), path('P', 4)}) {
            std::ofstream(std::filesystem::path(file)) << "data";
        }
        const auto tool = [&](const std::wstring& built, const std::wstring& to) {
            ::CopyFileW((kTools + L"\\" + built).c_str(), to.c_str(), FALSE);
        };
        tool(kFiles[2], path('P', 2));
        tool(kFiles[3], path('P', 3));
        tool(L"QvKelFlash.exe", W + L"\\QvKelFlash.exe");
        tool(kFiles[2], capsule == 'R' ? path('T', 2) : L"");
        for (const char file : missing) {
            const size_t index = std::string("bital").find(file);
            ::DeleteFileW(index < 5 ? path(index < 2 ? 'S' : 'P', index).c_str() : L"");
        }
        status < 0 ? DeleteServiceValue(kUpgradeStatusValueName)
                   : WriteServiceDword(kUpgradeStatusValueName, status);
        test::SetToolOrder(order);
        ::DeleteFileW(ServiceLogPath);
        Log(L"line of an earlier update");
        searchDriverStore = capsule == 'S' || capsule == 'R';
        test::FakeSessions sessions("aU", order == "-");
        test::CapturingEventReporter events;
        std::optional<LongProgramPath> longPath;
        if (missing == "x") {
            longPath.emplace();
        }
        bool reboot = true;

        const bool result =
            Kel::UpgradeFirmware(capsule == '-' ? kFiles[0] : path(capsule, 0), nullptr, reboot);
        longPath.reset();
        const bool ran = status <= 0 && final != 0;  // the tool started
        EXPECT_EQ(result, final == 1 || final == 3);
        EXPECT_EQ(reboot, (!ran && order != "-") || final == 1);
        EXPECT_EQ(test::MachineDword(test::kServiceKey, L"UpgradeStatus"), DWORD(final));
        auto record = test::ReadToolRecord();  // the status is 1 while the tool runs
        const std::wstring toolRan =
            capsule == 'W' ? W + L"\\QvKelFlash.exe" : path(searchDriverStore ? 'T' : capsule, 2);
        EXPECT_EQ(record["command_line"] + "|" + record["upgrade_status"],
                  ran ? test::Utf8(toolRan + L" -s -b") + "|1" : "|");
        for (const char file : std::string(searchDriverStore ? "bital" : "ital")) {
            const int index = static_cast<int>(std::string("bital").find(file));
            EXPECT_EQ(test::FileExists(path(searchDriverStore ? 'T' : capsule, index)),
                      staged.find(file) != std::string::npos)
                << file;
        }
        std::vector<std::wstring> outcome;
        for (const test::RecordedEvent& e : events.Events()) {
            if (e.id == MSG_CALL_FAILED) {  // RunKel reports whatever the last error then was
                outcome.push_back(L"!" + e.strings.at(0) + L"|" +
                                  (e.strings[0] == L"RunKel" ? L"*" : e.strings.at(1)));
            }
        }
        const auto log = test::ReadServiceLogMessages(ServiceLogPath);
        EXPECT_EQ(log.at(0), status > 0 ? L"line of an earlier update"
                                        : L"Starting new capsule update - old log file deleted");
        for (const std::wstring& line : log) {  // the lines expected, in their order
            if (std::count(c.outcome.begin(), c.outcome.end(), line) != 0) {
                outcome.push_back(line);
            }
        }
        EXPECT_EQ(outcome, c.outcome);
    }
    for (const auto& file : {path('R', 0), path('W', 0), W + L"\\QvKelFlash.exe", path('P', 2),
                             path('P', 3), path('P', 4)}) {
        ::DeleteFileW(file.c_str());
    }
    test::RemoveTree(at['S']);
    test::RemoveTree(at['F']);
}

TEST(FirmwareStagingTest, PlainToolNamesOnlyForA32BitProgram) {
    EXPECT_EQ(ChooseToolNames(kTools + L"\\QvKelFlash32.exe").toast, toastBaseName);
    EXPECT_EQ(ChooseToolNames(kTools + L"\\missing.exe").tool, toolBaseName + L"64");
}

}  // namespace
