// The firmware package's companion INF, as generated from packaging/firmware_package.inf.in:
// what it declares for Plug and Play installation (read from the INF), and the service and the
// two event sources its sections install and remove (applied for real through the setup API
// in the test prefix, with the section applier the demo uses).
//
// Wine cannot install a driver package on a device: it has no driver store, no pnputil and no
// firmware resource device to match. The Plug and Play part (device, package files, driver
// store folder, null driver) is therefore checked by reading the INF; the service and
// event-log sections are installed and removed. Wine's service control manager also does not
// act on recovery settings: the test checks the FailureActions value the INF writes, which is
// what Windows' service control manager reads.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "versions/firmware_version.h"
#include "inf_setup.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

std::wstring g_executable;     // QvNyxService.exe as built
std::wstring g_packageFolder;  // the generated INFs

constexpr wchar_t kServiceName[] = L"QvNyxService";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvNyxService";
constexpr wchar_t kApplicationLog[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr wchar_t kInstallSection[] = L"QvFirmware_Install.NT";
constexpr wchar_t kRemoveSection[] = L"QvNyxService_Remove";
constexpr wchar_t kServiceLog[] = L"C:\\Windows\\System32\\Firmware\\NyxService.log";

struct Package {
    const wchar_t* name;  // capsule base name = INF base name
    const wchar_t* family;
    const wchar_t* version;
    const wchar_t* driverVersion;
    FirmwareVersion firmwareVersion;
};
const Package kPackages[] = {
    {L"ABC_01130000", L"ABC", L"01130000", L"1.13.0.0", 0x010D0000},
    {L"ABC_02000105", L"ABC", L"02000105", L"2.0.1.5", 0x02000105},
};

std::wstring InfPath(const Package& package) {
    return g_packageFolder + L"\\" + package.name + L".inf";
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// Reading the INF.

inf_install::UniqueInf OpenInf(const std::wstring& path) {
    UINT errorLine = 0;
    return inf_install::UniqueInf(
        ::SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
}

// Every line of |section| that has |key| (or every line, for a null key), as its fields.
std::vector<std::vector<std::wstring>> Lines(HINF inf, const std::wstring& section,
                                             const wchar_t* key = nullptr) {
    std::vector<std::vector<std::wstring>> lines;
    INFCONTEXT line;
    if (!::SetupFindFirstLineW(inf, section.c_str(), key, &line)) {
        return lines;
    }
    do {
        std::vector<std::wstring> fields;
        const DWORD count = ::SetupGetFieldCount(&line);
        for (DWORD i = 1; i <= count; ++i) {
            wchar_t buffer[MAX_INF_STRING_LENGTH] = {};
            ::SetupGetStringFieldW(&line, i, buffer, MAX_INF_STRING_LENGTH, nullptr);
            fields.push_back(buffer);
        }
        lines.push_back(fields);
    } while (key != nullptr ? ::SetupFindNextMatchLineW(&line, key, &line)
                            : ::SetupFindNextLine(&line, &line));
    return lines;
}

// Field |index| (1-based) of the first line of |section| with |key|; "<none>" when missing.
std::wstring Value(HINF inf, const std::wstring& section, const wchar_t* key, size_t index = 1) {
    const auto lines = Lines(inf, section, key);
    if (lines.empty() || lines[0].size() < index) {
        return L"<none>";
    }
    return lines[0][index - 1];
}

bool HasSection(HINF inf, const std::wstring& section) {
    return ::SetupGetLineCountW(inf, section.c_str()) >= 0;
}

// Reading the registry.

struct RegistryValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::wstring Text() const {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()),
                          data.size() / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        return text;
    }
    DWORD Dword() const {
        DWORD value = 0;
        if (data.size() == sizeof(value)) {
            std::memcpy(&value, data.data(), sizeof(value));
        }
        return value;
    }
};

RegistryValue ReadValue(const std::wstring& keyPath, const wchar_t* name) {
    RegistryValue value;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.Put()) !=
        ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return value;
    }
    value.data.resize(size);
    value.present = ::RegQueryValueExW(key.Get(), name, nullptr, &value.type, value.data.data(),
                                       &size) == ERROR_SUCCESS;
    value.data.resize(size);
    return value;
}

bool KeyExists(const std::wstring& keyPath) {
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.Put()) ==
           ERROR_SUCCESS;
}

// The text of message |id| in |messageFile| as Event Viewer would render it, or "<none>".
std::wstring MessageText(const std::wstring& messageFile, DWORD id) {
    wchar_t expanded[MAX_PATH];
    ::ExpandEnvironmentStringsW(messageFile.c_str(), expanded, MAX_PATH);
    win::UniqueModule module(::LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) {
        return L"<no module>";
    }
    wchar_t buffer[512] = {};
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module.Get(),
                         id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, 512, nullptr);
    return length == 0 ? L"<none>" : std::wstring(buffer, length);
}

// ---- What Plug and Play installation would do, read from the INF ----

TEST(PackageInfTest, NamesAndVersionsMatchTheCapsuleAndTheServiceRecognisesThem) {
    for (const Package& package : kPackages) {
        SCOPED_TRACE(package.name);
        const auto inf = OpenInf(InfPath(package));
        ASSERT_TRUE(inf.IsValid()) << ::GetLastError();

        EXPECT_EQ(Value(inf.Get(), L"Version", L"Signature"), L"$WINDOWS NT$");
        EXPECT_EQ(Value(inf.Get(), L"Version", L"Class"), L"Firmware");
        EXPECT_EQ(Lower(Value(inf.Get(), L"Version", L"ClassGuid")),
                  L"{f2e7dd72-6468-4e36-b6f1-6488f42c1b52}");
        EXPECT_EQ(Value(inf.Get(), L"Version", L"CatalogFile"),
                  std::wstring(package.name) + L".cat");
        EXPECT_EQ(Value(inf.Get(), L"Version", L"PnpLockdown"), L"1");
        // DriverVer = mm/dd/yyyy,version: the version repeats the firmware version.
        const std::wstring date = Value(inf.Get(), L"Version", L"DriverVer", 1);
        ASSERT_EQ(date.size(), 10u) << date;
        EXPECT_TRUE(date[2] == L'/' && date[5] == L'/') << date;
        EXPECT_EQ(Value(inf.Get(), L"Version", L"DriverVer", 2), package.driverVersion);

        // Windows names the driver-store folder after the INF, in lower case; the service
        // reads the version series from that name.
        const std::wstring storeFolder = Lower(package.name) + L".inf_amd64_0123456789abcdef";
        EXPECT_EQ(ExtractVersionSeries(storeFolder).value_or(L"<none>"), package.version);
        EXPECT_EQ(storeFolder.substr(0, 3), Lower(package.family));

        // The capsule the INF carries has the INF's name and encodes the same version.
        const std::wstring capsule = std::wstring(package.name) + L".bin";
        EXPECT_EQ(Value(inf.Get(), L"SourceDisksFiles", capsule.c_str()), L"1");
        std::uint8_t b1 = 0, b2 = 0, b3 = 0, b4 = 0;
        ParseCapsuleVersion(capsule.c_str(), b1, b2, b3, b4);
        EXPECT_EQ(MakeFirmwareVersion(b1, b2, b3, b4), package.firmwareVersion);
    }
    // The second package is the later release by both rules the service applies.
    EXPECT_TRUE(IsSeriesNewer(kPackages[1].version, kPackages[0].version));
    EXPECT_GT(kPackages[1].firmwareVersion, kPackages[0].firmwareVersion);
}

// Wine has no Plug and Play installation of a firmware device: the device match, the package
// files and the driver's services are read from the INF instead.
TEST(PackageInfTest, PlugAndPlaySectionsInstallOnTheFirmwareDeviceFromTheDriverStore) {
    for (const Package& package : kPackages) {
        SCOPED_TRACE(package.name);
        const auto inf = OpenInf(InfPath(package));
        ASSERT_TRUE(inf.IsValid()) << ::GetLastError();

        // [Manufacturer] -> models section for 64-bit Windows -> the firmware resource.
        const auto manufacturers = Lines(inf.Get(), L"Manufacturer");
        ASSERT_EQ(manufacturers.size(), 1u);
        ASSERT_EQ(manufacturers[0].size(), 2u);
        EXPECT_EQ(manufacturers[0][1], L"NTamd64");
        const auto models = Lines(inf.Get(), manufacturers[0][0] + L".NTamd64");
        ASSERT_EQ(models.size(), 1u);
        ASSERT_EQ(models[0].size(), 2u);
        EXPECT_EQ(models[0][0], L"QvFirmware_Install");
        const std::wstring hardwareId = models[0][1];
        EXPECT_EQ(hardwareId.rfind(L"UEFI\\RES_{", 0), 0u) << hardwareId;
        EXPECT_EQ(hardwareId.size(), std::wstring(L"UEFI\\RES_{}").size() + 36) << hardwareId;
        EXPECT_EQ(hardwareId.back(), L'}') << hardwareId;

        // The install section keeps exactly the package files, all in the driver store.
        const std::wstring install = models[0][0] + L".NT";
        ASSERT_EQ(install, kInstallSection);
        const auto copyFiles = Lines(inf.Get(), install, L"CopyFiles");
        ASSERT_EQ(copyFiles.size(), 1u);
        ASSERT_EQ(copyFiles[0].size(), 1u);
        std::set<std::wstring> files;
        for (const auto& line : Lines(inf.Get(), copyFiles[0][0])) {
            files.insert(line.at(0));
        }
        const std::set<std::wstring> expectedFiles = {
            std::wstring(package.name) + L".bin", L"QvNyxService.exe", L"QvKelFlash64.exe",
            L"QVToastNotificationActivator64.exe", L"QVFirmwareUpdate.jpg"};
        EXPECT_EQ(files, expectedFiles);
        for (const std::wstring& file : expectedFiles) {
            const std::wstring disk = Value(inf.Get(), L"SourceDisksFiles", file.c_str());
            EXPECT_TRUE(HasSection(inf.Get(), L"SourceDisksNames")) << file;
            EXPECT_NE(Value(inf.Get(), L"SourceDisksNames", disk.c_str()), L"<none>") << file;
        }
        std::wstring destination = Value(inf.Get(), L"DestinationDirs", copyFiles[0][0].c_str());
        if (destination == L"<none>") {
            destination = Value(inf.Get(), L"DestinationDirs", L"DefaultDestDir");
        }
        EXPECT_EQ(destination, L"13");

        // Services: the device gets the null driver; the service is not its function driver
        // (SPSVCINST_ASSOCSERVICE on it would make the device fail to start) and is started
        // at once.
        const auto services = Lines(inf.Get(), install + L".Services", L"AddService");
        ASSERT_EQ(services.size(), 2u);
        EXPECT_EQ(services[0].at(0), L"");
        EXPECT_EQ(std::wcstoul(services[0].at(1).c_str(), nullptr, 0), 0x2ul);
        const std::vector<std::wstring> expectedService = {
            kServiceName,   L"0x00000800",    L"QvNyxService_Service", L"QvNyxService_EventLog",
            L"Application", L"QV NYX Service"};
        EXPECT_EQ(services[1], expectedService);

        // Installed only with the device: no section a right-click "Install" would run.
        for (const wchar_t* section : {L"DefaultInstall", L"DefaultInstall.NT",
                                       L"DefaultInstall.NTamd64", L"DefaultInstall.Services"}) {
            EXPECT_FALSE(HasSection(inf.Get(), section)) << section;
        }

        // The removal section stops the service and deletes it with its event source.
        const auto removal =
            Lines(inf.Get(), std::wstring(kRemoveSection) + L".Services", L"DelService");
        const std::vector<std::wstring> expectedRemoval = {kServiceName, L"0x00000204",
                                                           L"Application", L"QV NYX Service"};
        ASSERT_EQ(removal.size(), 1u);
        EXPECT_EQ(removal[0], expectedRemoval);
    }
}

// ---- The service and event-log sections, applied in the test prefix ----

// Removes the service and both event sources with plain SCM and registry calls, whatever the
// INF's removal section does, so that every case starts and ends clean.
void RemoveEverything() {
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (service) {
        SERVICE_STATUS status;
        ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        ::DeleteService(service.Get());
    }
    service.Reset();
    test::WaitUntil([] { return !KeyExists(kServiceKey); });
    for (const wchar_t* source : {L"QV NYX Service", L"QvNyxService"}) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kApplicationLog) + source).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kApplicationLog) + source).c_str());
    }
}

// A package folder as the driver store holds it: the INF and the service executable.
class PackageFolder {
public:
    explicit PackageFolder(const Package& package)
        : inf_(folder_ / (package.name + std::wstring(L".inf"))) {
        EXPECT_TRUE(::CopyFileW(InfPath(package).c_str(), inf_.c_str(), FALSE)) << ::GetLastError();
        EXPECT_TRUE(::CopyFileW(g_executable.c_str(), Executable().c_str(), FALSE))
            << ::GetLastError();
    }
    const std::wstring& Path() const { return folder_.Path(); }
    const std::wstring& Inf() const { return inf_; }
    std::wstring Executable() const { return folder_ / L"QvNyxService.exe"; }

private:
    test::TempFolder folder_;
    std::wstring inf_;
};

DWORD Apply(const PackageFolder& package, const wchar_t* section) {
    inf_install::PackageInf inf(package.Inf(), package.Path());
    if (!inf.IsOpen()) {
        ADD_FAILURE() << "cannot open the package INF: error " << inf.Error() << " at line "
                      << inf.ErrorLine();
        return inf.Error();
    }
    return inf_install::ApplySection(inf.Get(), section);
}

DWORD ServiceState() {
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

// Checks the service and both event sources as installed from |package|.
void ExpectInstalledFrom(const PackageFolder& package) {
    const std::wstring executable = package.Executable();

    // The service key. Windows stores ImagePath as REG_EXPAND_SZ, Wine as REG_SZ.
    const RegistryValue imagePath = ReadValue(kServiceKey, L"ImagePath");
    ASSERT_TRUE(imagePath.present);
    EXPECT_TRUE(imagePath.type == REG_EXPAND_SZ || imagePath.type == REG_SZ) << imagePath.type;
    EXPECT_EQ(Lower(imagePath.Text()), Lower(executable));
    struct DwordCase {
        const wchar_t* name;
        DWORD expected;
    } const dwords[] = {
        {L"Type", SERVICE_WIN32_OWN_PROCESS},
        {L"Start", SERVICE_AUTO_START},
        {L"ErrorControl", SERVICE_ERROR_NORMAL},
    };
    for (const DwordCase& c : dwords) {
        const RegistryValue value = ReadValue(kServiceKey, c.name);
        EXPECT_EQ(value.type, DWORD{REG_DWORD}) << c.name;
        EXPECT_EQ(value.Dword(), c.expected) << c.name;
    }
    EXPECT_EQ(ReadValue(kServiceKey, L"ObjectName").Text(), L"LocalSystem");
    EXPECT_EQ(ReadValue(kServiceKey, L"DisplayName").Text(), L"QV NYX Service");

    // The service control manager's view agrees.
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.IsValid()) << ::GetLastError();
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(service.Get(),
                                      reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                      static_cast<DWORD>(buffer.size()), &needed))
        << ::GetLastError();
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    EXPECT_EQ(config->dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(config->dwStartType, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(Lower(config->lpBinaryPathName), Lower(executable));
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"QV NYX Service");

    // Recovery, as stored (SERVICE_FAILURE_ACTIONS with 32-bit placeholders for its pointers):
    // reset period, reboot message, command, action count, actions; then type and delay of
    // each action. Wine's service control manager does not act on it.
    const RegistryValue failure = ReadValue(kServiceKey, L"FailureActions");
    EXPECT_EQ(failure.type, DWORD{REG_BINARY});
    ASSERT_EQ(failure.data.size(), 5 * 4 + 3 * 8u);
    DWORD words[11];
    std::memcpy(words, failure.data.data(), sizeof(words));
    EXPECT_EQ(words[0], 86400u);  // a day without failure resets the count
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 3u);
    const DWORD delays[] = {60000, 60000, 600000};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(words[5 + 2 * i], DWORD{SC_ACTION_RESTART}) << i;
        EXPECT_EQ(words[6 + 2 * i], delays[i]) << i;
    }

    // Both event sources name the executable, which holds the texts Event Viewer shows: the
    // service's own messages; none for the logging framework's IDs 0 to 5, so the viewer shows
    // its "description cannot be found" preamble and then the logged line.
    struct Source {
        const wchar_t* name;
        DWORD types;
        DWORD sampleId;
        const wchar_t* sampleText;
    } const sources[] = {
        {L"QV NYX Service", EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE, 0x40010002,
         L"Service is starting.\r\n"},
        {L"QV NYX Service", EVENTLOG_ERROR_TYPE | EVENTLOG_INFORMATION_TYPE, 0xC0010004,
         L"%1 failed, result=%2\r\n"},
        {L"QvNyxService", EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE,
         0, L"<none>"},
        {L"QvNyxService", EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE,
         5, L"<none>"},
    };
    for (const Source& source : sources) {
        const std::wstring key = std::wstring(kApplicationLog) + source.name;
        const RegistryValue messageFile = ReadValue(key, L"EventMessageFile");
        ASSERT_TRUE(messageFile.present) << key;
        EXPECT_EQ(messageFile.type, DWORD{REG_EXPAND_SZ});
        EXPECT_EQ(Lower(messageFile.Text()), Lower(executable));
        const RegistryValue types = ReadValue(key, L"TypesSupported");
        EXPECT_EQ(types.type, DWORD{REG_DWORD});
        EXPECT_EQ(types.Dword(), source.types) << key;
        EXPECT_EQ(MessageText(messageFile.Text(), source.sampleId), source.sampleText)
            << key << " " << std::hex << source.sampleId;
    }
}

void ExpectNothingInstalled() {
    EXPECT_FALSE(KeyExists(kServiceKey));
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    const DWORD error = ::GetLastError();
    EXPECT_FALSE(service.IsValid());
    EXPECT_EQ(error, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    for (const wchar_t* source : {L"QV NYX Service", L"QvNyxService"}) {
        EXPECT_FALSE(KeyExists(std::wstring(kApplicationLog) + source)) << source;
    }
}

class PackageInstallTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveEverything(); }
    void TearDown() override {
        RemoveEverything();
        ::DeleteFileW(kServiceLog);  // written by the service while it ran
    }
};

// Install the first package, install the later one over it (the service and both sources move
// to the later package's folder), remove, and remove again with nothing left to remove. This
// test process stays alive throughout, which keeps Wine's service process running.
TEST_F(PackageInstallTest, InstallsUpgradesAndRemovesTheServiceAndBothEventSources) {
    const PackageFolder first(kPackages[0]);
    ASSERT_EQ(Apply(first, kInstallSection), DWORD{ERROR_SUCCESS});
    ExpectInstalledFrom(first);
    // Started by the INF (SPSVCINST_STARTSERVICE), not only at the next boot.
    EXPECT_TRUE(test::WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }))
        << ServiceState();

    const PackageFolder second(kPackages[1]);
    ASSERT_EQ(Apply(second, kInstallSection), DWORD{ERROR_SUCCESS});
    ExpectInstalledFrom(second);

    ASSERT_EQ(Apply(second, kRemoveSection), DWORD{ERROR_SUCCESS});
    // The service control manager deletes the key once the stopped process has gone.
    EXPECT_TRUE(test::WaitUntil([] { return !KeyExists(kServiceKey); }));
    ExpectNothingInstalled();

    EXPECT_EQ(Apply(second, kRemoveSection), DWORD{ERROR_SUCCESS});
    ExpectNothingInstalled();
}

TEST_F(PackageInstallTest, MissingInfOrSectionIsReportedWithItsError) {
    const PackageFolder package(kPackages[0]);
    {
        inf_install::PackageInf missing(package.Path() + L"\\NOSUCH_01130000.inf", package.Path());
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.Error(), DWORD{ERROR_FILE_NOT_FOUND});
    }
    EXPECT_EQ(Apply(package, L"QvFirmware_Install"), DWORD{ERROR_SECTION_NOT_FOUND});
    ExpectNothingInstalled();
}

}  // namespace

int main(int argc, char** argv) {
    if (!test::InitWithHostPaths(argc, argv,
                                 "<path of QvNyxService.exe on the host> <folder of the generated "
                                 "INFs on the host>",
                                 {&g_executable, &g_packageFolder})) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
