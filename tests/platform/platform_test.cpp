// The WMI wrapper against the prefix's WMI service; the BIOS identity from a raw table set here.
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
#include <utility>
#include "platform/bios_info.h"
#include "platform/smbios_raw_source.h"
#include "platform/wmi_connection.h"
#include "smbios_builders.h"
#include "support/test_support.h"

using namespace smbios_test;

static Bytes rawTable;

std::vector<std::uint8_t> QVBiosUpdate::ReadRawSmbiosData() {
    return rawTable;
}

TEST(WmiConnectionTest, QueriesNeedANamespaceAndReadsConvertWhileComLasts) {
    std::thread thread([] {  // of its own, as each connection of the service has
        const HRESULT mismatch = WBEM_E_TYPE_MISMATCH;
        {
            QVBiosUpdate::WmiConnection wmi(L"\\\\.\\root\\nosuch");
            const auto read = [&wmi](const wchar_t* name) {  // into {1, 2} and 7
                Bytes bytes{1, 2};
                std::uint32_t num = 7;
                const HRESULT asBytes = wmi.GetByteArrayProperty(name, bytes);
                return std::tuple{asBytes, bytes.size(), wmi.GetUInt32Property(name, num), num};
            };
            EXPECT_EQ(wmi.ExecQuery(L"SELECT * FROM Win32_OperatingSystem", 0),
                      static_cast<HRESULT>(WBEM_E_INITIALIZATION_FAILURE));
            ASSERT_EQ(wmi.Connect(L"\\\\.\\root\\cimv2"), S_OK);
            ASSERT_EQ(wmi.ExecQuery(L"SELECT * FROM Win32_OperatingSystem", 0), S_OK);
            // A number that converts, a text that does not.
            EXPECT_EQ(read(L"OSType"), std::make_tuple(mismatch, 0u, S_OK, 18u));
            EXPECT_EQ(read(L"Caption"), std::make_tuple(mismatch, 0u, DISP_E_TYPEMISMATCH, 7u));
            ASSERT_EQ(wmi.Connect(L"\\\\.\\root\\wmi"), S_OK);
            ASSERT_EQ(wmi.ExecQuery(L"SELECT * FROM MSSMBios_RawSMBiosTables", 0), S_OK);
            EXPECT_EQ(std::get<0>(read(L"SMBiosData")), S_OK);  // a null value: no bytes
        }
        EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // ended with it
        ::CoUninitialize();
    });
    thread.join();
}

// The records reading |table| logs (level initial, function, message), then ok, family, field 1.
static std::wstring Read(const Bytes& table) {
    rawTable = table;
    test::CapturingEventReporter events;
    std::wstring family = L"stale", seen;
    int f[4] = {7, 7, 7, 7};  // all -1 after a failure
    const bool ok = GetBiosInfo(family, f[0], f[1], f[2], f[3]);
    for (const auto& event : events.Events()) {
        seen += event.strings.at(0).substr(33, 1) + event.strings.at(0).substr(44) + L"\n";
    }
    return seen + std::to_wstring(ok) + L" " + family + L" " + std::to_wstring(f[0]);
}

const std::wstring kLogged = L"|QVBiosUpdate::SmbiosInfo::GetSmbiosInfo|",
                   kGetting = L"I" + kLogged + L"Getting SMBIOS information\n";

static std::wstring Success(const wchar_t* family, const wchar_t* version, const wchar_t* field1,
                            const wchar_t* identity = L"'', AT-p supported: no, portable: no") {
    return kGetting + L"I" + kLogged + L"Successfully retrieved SMBIOS settings: BIOS Family = " +
           family + L", version = " + version + L"\nI" + kLogged + L"PCID: " + identity + L"\n1 " +
           family + L" " + field1;
}

static std::wstring Failure(const wchar_t* record, const std::wstring& before = kGetting) {
    return before + L"E" + kLogged + record + L"\n0  -1";
}

TEST(BiosInfoTest, IdentityComesFromTheVersionStringTheReleaseBytesAndOtherStructures) {
    const wchar_t key[] = L"Software\\Policies\\QV\\QV NYX Service\\platform_test";  // log policy
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"LoggingType", REG_SZ, L"Event", 12);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"MinLogLevel", REG_SZ, L"Information", 24);
    Bytes capabilities(0x14);
    capabilities.insert(capabilities.end(), {0, 0x20, 0, 0});  // bit 13 at offset 18h: AT-p
    const std::pair<Bytes, std::wstring> cases[] = {
        {Table({Structure(1, 0x1B, {1, 2, 3}, {"QV", "NB", "PC-77"}),
                Structure(3, 0x0D, {1, 0x89}, {"QV"}),  // a laptop with a lock
                BiosInformation("%ls Ver. 01.02.03", 12, 0),
                Structure(0x83, 0x1C, capabilities, {})}),
         Success(L"%ls", L"01.12.00", L"1", L"'PC-77', AT-p supported: yes, portable: yes")},
        {BiosInformation("A Ver. 01.02", 12, 5), Success(L"A", L"12.05", L"12")},
        {BiosInformation("A Ver. \t9.02.03", 1, 2), Success(L"A", L"09.01.02", L"9")},
        {BiosInformation("A Ver. -1.02.03", 1, 2), Success(L"A", L"255.01.02", L"25")},
        {{}, Failure(L"SmbiosLite exception: Failed to get SMBIOS data from WMI", L"")},
        {{0, 3, 0, 0, 0, 0}, Failure(L"SmbiosLite exception: Failure parsing SMBIOS data", L"")},
        {Structure(0, 0x15, {}, {}), Failure(L"Error getting BIOS version from SMBIOS")},
        {Structure(0, 0x16, {}, {}),
         Failure(L"Error getting BIOS Family/version string from SMBIOS")},
        {BiosInformation("A 1", 1, 2), Failure(L"Error parsing BIOS string, unable to get family")},
        {BiosInformation("A V +.", 1, 2), Failure(L"SmbiosLite exception: invalid stoi argument")}};
    for (const auto& [table, expected] : cases) {
        EXPECT_EQ(Read(table), expected);
    }
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}
