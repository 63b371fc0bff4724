// The generated firmware package INFs: what they declare (Wine installs no firmware device), and
// their service sections applied in the test prefix with the section applier the demo uses.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <tuple>
#include "inf_setup.h"
#include "support/test_support.h"
#include "versions/firmware_version.h"

namespace {
std::wstring g_service;  // QvNyxService.exe as built
std::wstring g_infs;     // the generated INFs
constexpr wchar_t kInstall[] = L"QvFirmware_Install.NT";
constexpr wchar_t kRemove[] = L"QvNyxService_Remove";
constexpr wchar_t kServiceLog[] = L"C:\\Windows\\System32\\Firmware\\NyxService.log";
const std::wstring kSources = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// Each generated package: the name of its INF and capsule, its DriverVer version.
const std::wstring kPackages[][2] = {{L"ABC_01130000", L"1.13.0.0"}, {L"ABC_02000105", L"2.0.1.5"}};

// Field |n| of the first line with |key| in |section| of the INF at |path|, or "<none>".
std::wstring Field(const std::wstring& path, const wchar_t* section, const wchar_t* key, DWORD n) {
    inf_install::UniqueInf inf(::SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    INFCONTEXT line;
    wchar_t text[MAX_INF_STRING_LENGTH] = L"<none>";
    if (::SetupFindFirstLineW(inf.Get(), section, key, &line)) {
        ::SetupGetStringFieldW(&line, n, text, MAX_INF_STRING_LENGTH, nullptr);
    }
    return text;
}

TEST(PackageInfTest, NamesAndVersionsMatchTheCapsuleAndWhatTheServiceRecognises) {
    for (const auto& [name, driverVersion] : kPackages) {
        SCOPED_TRACE(test::Utf8(name));
        const std::wstring inf = g_infs + L"\\" + name + L".inf";
        using Line = std::tuple<const wchar_t*, std::wstring, DWORD, std::wstring>;
        for (const auto& [section, key, field, expected] : std::vector<Line>{
                 {L"Version", L"Class", 1, L"Firmware"},
                 {L"Version", L"DriverVer", 2, driverVersion},  // Windows ranks packages by it
                 {L"Version", L"CatalogFile", 1, name + L".cat"},
                 {L"SourceDisksFiles", name + L".bin", 1, L"1"},
                 {L"DestinationDirs", L"DefaultDestDir", 1, L"13"},  // the driver store
                 {L"QvFirmware_Install.NT.Services", L"AddService", 2, L"0x00000002"},  // no driver
             }) {
            EXPECT_EQ(Field(inf, section, key.c_str(), field), expected) << key;
        }
        // The service reads the version from the driver-store folder Windows names after the INF.
        EXPECT_EQ(ExtractVersionSeries(name + L".inf_amd64_1f2e").value_or(L""), name.substr(4));
    }
    EXPECT_TRUE(IsSeriesNewer(kPackages[1][0].substr(4), kPackages[0][0].substr(4)));
}

// A value under HKLM\|key| as text (a number in decimal); "" when missing.
std::wstring Value(const std::wstring& key, const wchar_t* name) {
    DWORD data[256] = {}, type = REG_NONE, size = sizeof(data) - sizeof(wchar_t);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_ANY, &type, data, &size);
    return type == REG_DWORD ? std::to_wstring(data[0]) : reinterpret_cast<const wchar_t*>(data);
}
// Applies |section| of the INF of package |name|, copied with the service into |folder| as the
// driver store holds them.
DWORD Apply(const test::TempFolder& folder, const std::wstring& name, const wchar_t* section) {
    const std::wstring inf = name + L".inf";
    ::CopyFileW((g_infs + L"\\" + inf).c_str(), (folder / inf).c_str(), FALSE);
    ::CopyFileW(g_service.c_str(), (folder / L"QvNyxService.exe").c_str(), FALSE);
    inf_install::PackageInf package(folder / inf, folder.Path());
    return package.IsOpen() ? inf_install::ApplySection(package.Get(), section) : package.Error();
}

// A missing INF or section is reported. The first package installs and starts the service and
// adds both event sources, the later one moves them to its folder, removal takes them away.
TEST(PackageInstallTest, InstallsUpgradesAndRemovesTheServiceAndBothEventSources) {
    test::InstalledService().Open();  // removes a service an earlier run left behind
    ::DeleteFileW(kServiceLog);
    test::TempFolder folders[2];
    EXPECT_EQ(Apply(folders[0], L"NOSUCH_01130000", kInstall), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(Apply(folders[0], kPackages[0][0], L"QvFirmware_Install"), ERROR_SECTION_NOT_FOUND);
    const std::wstring service = test::kServiceKey;
    for (int step = 0; step < 4; ++step) {  // install, upgrade, remove, remove again
        const int package = step > 0;
        const bool installed = step < 2;
        ASSERT_EQ(Apply(folders[package], kPackages[package][0], installed ? kInstall : kRemove),
                  0u);
        const std::wstring executable = folders[package] / L"QvNyxService.exe";
        EXPECT_TRUE(test::WaitUntil([&] { return Value(service, L"Type").empty() != installed; }));
        EXPECT_TRUE(!installed || test::WaitUntil([] { return test::FileExists(kServiceLog); }));
        using Entry = std::tuple<std::wstring, const wchar_t*, std::wstring>;
        for (const auto& [key, name, expected] : std::vector<Entry>{
                 {service, L"ImagePath", executable},
                 {service, L"Type", L"16"},  // own process
                 {service, L"Start", L"2"},  // automatic
                 {service, L"ObjectName", L"LocalSystem"},
                 {service, L"FailureActionsOnNonCrashFailures", L"1"},  // recovery after 1064
                 {kSources + L"QV NYX Service", L"EventMessageFile", executable},
                 {kSources + L"QV NYX Service", L"TypesSupported", L"5"},
                 {kSources + L"QvNyxService", L"EventMessageFile", executable},
                 {kSources + L"QvNyxService", L"TypesSupported", L"7"},
             }) {
            EXPECT_EQ(Value(key, name), installed ? expected : L"") << key << L" " << name;
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    const char* usage = "<QvNyxService.exe> <folder of the generated INFs>";
    return test::InitWithHostPaths(argc, argv, usage, {&g_service, &g_infs}) ? RUN_ALL_TESTS() : 2;
}
