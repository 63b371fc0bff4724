// The generated firmware package INFs: what they declare (Wine installs no firmware device), and
// their service sections applied in the test prefix with the section applier the demo uses.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <tuple>
#include <vector>

#include "inf_setup.h"
#include "support/test_support.h"
#include "versions/firmware_version.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_executable;     // QvNyxService.exe as built
std::wstring g_packageFolder;  // the generated INFs

constexpr wchar_t kInstall[] = L"QvFirmware_Install.NT";
constexpr wchar_t kRemove[] = L"QvNyxService_Remove";
constexpr wchar_t kServiceLog[] = L"C:\\Windows\\System32\\Firmware\\NyxService.log";
const std::wstring kSources = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const struct {
    const wchar_t* name;  // of the INF and the capsule
    const wchar_t* driverVersion;
} kPackages[] = {{L"ABC_01130000", L"1.13.0.0"}, {L"ABC_02000105", L"2.0.1.5"}};

// Field |index| of the first line with |key| in |section| of the INF at |path|, or "<none>".
std::wstring Field(const std::wstring& path, const wchar_t* section, const std::wstring& key,
                   DWORD index) {
    inf_install::UniqueInf inf(::SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    INFCONTEXT line;
    wchar_t text[MAX_INF_STRING_LENGTH] = L"<none>";
    if (::SetupFindFirstLineW(inf.Get(), section, key.c_str(), &line)) {
        ::SetupGetStringFieldW(&line, index, text, MAX_INF_STRING_LENGTH, nullptr);
    }
    return text;
}

TEST(PackageInfTest, NamesAndVersionsMatchTheCapsuleAndWhatTheServiceRecognises) {
    for (const auto& package : kPackages) {
        SCOPED_TRACE(test::Utf8(package.name));
        const std::wstring inf = g_packageFolder + L"\\" + package.name + L".inf";
        const std::wstring capsule = package.name + std::wstring(L".bin");
        // Windows ranks packages by DriverVer; the device gets the null driver.
        using Line = std::tuple<const wchar_t*, std::wstring, DWORD, std::wstring>;
        for (const auto& [section, key, field, expected] : std::vector<Line>{
                 {L"Version", L"Class", 1, L"Firmware"},
                 {L"Version", L"DriverVer", 2, package.driverVersion},
                 {L"Version", L"CatalogFile", 1, package.name + std::wstring(L".cat")},
                 {L"SourceDisksFiles", capsule, 1, L"1"},
                 {L"DestinationDirs", L"DefaultDestDir", 1, L"13"},  // the driver store
                 {L"QvFirmware_Install.NT.Services", L"AddService", 2, L"0x00000002"},
             }) {
            EXPECT_EQ(Field(inf, section, key, field), expected) << test::Utf8(key);
        }
        // The service reads the version from the driver-store folder Windows names after the INF.
        std::wstring folder = package.name + std::wstring(L".inf_amd64_0123456789abcdef");
        ::CharLowerW(&folder[0]);
        EXPECT_EQ(ExtractVersionSeries(folder).value_or(L"<none>"), package.name + 4);
    }
    EXPECT_TRUE(IsSeriesNewer(kPackages[1].name + 4, kPackages[0].name + 4));
}

// A value under HKLM\|key| as lower-case text (a number in decimal); "" when missing.
std::wstring Value(const std::wstring& key, const wchar_t* name) {
    DWORD data[256] = {};
    DWORD type = REG_NONE, size = sizeof(data) - sizeof(wchar_t);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data,
                   &size);
    std::wstring text =
        type == REG_DWORD ? std::to_wstring(data[0]) : reinterpret_cast<const wchar_t*>(data);
    ::CharLowerW(&text[0]);
    return text;
}
// Copies the INF of package |name| and the service executable into |folder|, as the driver
// store holds them, and applies |section| of that INF.
DWORD Apply(const test::TempFolder& folder, const std::wstring& name, const wchar_t* section) {
    const std::wstring inf = name + L".inf";
    ::CopyFileW((g_packageFolder + L"\\" + inf).c_str(), (folder / inf).c_str(), FALSE);
    ::CopyFileW(g_executable.c_str(), (folder / L"QvNyxService.exe").c_str(), FALSE);
    inf_install::PackageInf package(folder / inf, folder.Path());
    return package.IsOpen() ? inf_install::ApplySection(package.Get(), section) : package.Error();
}

// A missing INF or section is reported with its error. The first package installs the service
// and both event sources, the service started at once; the later one moves them to its folder;
// removal takes them away, and a second removal finds nothing to remove.
TEST(PackageInstallTest, InstallsUpgradesAndRemovesTheServiceAndBothEventSources) {
    test::InstalledService().Open();  // removes a service an earlier run left behind
    ::DeleteFileW(kServiceLog);
    test::TempFolder folders[2];
    EXPECT_EQ(Apply(folders[0], L"NOSUCH_01130000", kInstall), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(Apply(folders[0], kPackages[0].name, L"QvFirmware_Install"),
              DWORD{ERROR_SECTION_NOT_FOUND});
    for (int step = 0; step < 4; ++step) {
        const int package = step < 1 ? 0 : 1;
        const bool installed = step < 2;
        ASSERT_EQ(Apply(folders[package], kPackages[package].name, installed ? kInstall : kRemove),
                  DWORD{ERROR_SUCCESS});
        std::wstring executable = folders[package] / L"QvNyxService.exe";
        ::CharLowerW(&executable[0]);
        const std::wstring service = test::kServiceKey;
        const std::wstring sources[] = {kSources + L"QV NYX Service", kSources + L"QvNyxService"};
        using Entry = std::tuple<std::wstring, const wchar_t*, std::wstring>;
        const std::vector<Entry> values = {
            {service, L"ImagePath", executable},
            {service, L"Type", L"16"},  // own process
            {service, L"Start", L"2"},  // automatic
            {service, L"ObjectName", L"localsystem"},
            {sources[0], L"EventMessageFile", executable},  // the service's own messages
            {sources[0], L"TypesSupported", L"5"},
            {sources[1], L"EventMessageFile", executable},  // the logging framework's
            {sources[1], L"TypesSupported", L"7"},
        };
        // The service control manager deletes the key once the stopped process has gone.
        EXPECT_TRUE(test::WaitUntil([&] { return Value(service, L"Type").empty() != installed; }));
        // Started at once: its log appears.
        EXPECT_TRUE(!installed || test::WaitUntil([] { return test::FileExists(kServiceLog); }));
        for (const auto& [key, name, expected] : values) {
            EXPECT_EQ(Value(key, name), installed ? expected : L"")
                << test::Utf8(key + L" " + name);
        }
    }
    ::DeleteFileW(kServiceLog);
}

}  // namespace

int main(int argc, char** argv) {
    return test::InitWithHostPaths(argc, argv, "<QvNyxService.exe> <folder of the generated INFs>",
                                   {&g_executable, &g_packageFolder})
               ? RUN_ALL_TESTS()
               : 2;
}
