// The WMI wrapper against the prefix's WMI service; the BIOS identity from a raw table set here.
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include <tuple>
#include "platform/bios_info.h"
#include "platform/smbios_raw_source.h"
#include "platform/wmi_connection.h"
#include "smbios_builders.h"
#include "support/test_support.h"

using namespace smbios_test;

using Lines = std::vector<std::wstring>;
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

// A record's head, time ("yyyy/mm/dd hh:mm:ss.mmm|") and thread ID ("TTTTTTTT|"), and what
// follows it: "<level padded to 11>|<function>|<message>".
const std::wregex kHead(L"^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\|[0-9A-F]{8}\\|");
const std::wstring kInfo = L"Information|QVBiosUpdate::SmbiosInfo::GetSmbiosInfo|",
                   kError = L"Error      |QVBiosUpdate::SmbiosInfo::GetSmbiosInfo|",
                   kGetting = kInfo + L"Getting SMBIOS information";

// The records of a table read whole; |settings| is "<family>, version = <version>".
static Lines Retrieved(const wchar_t* settings,
                       const wchar_t* identity = L"'', AT-p supported: no, portable: no") {
    return {kGetting, kInfo + L"Successfully retrieved SMBIOS settings: BIOS Family = " + settings,
            kInfo + L"PCID: " + identity};
}

TEST(BiosInfoTest, IdentityComesFromTheVersionStringTheReleaseBytesAndOtherStructures) {
    const wchar_t key[] = L"Software\\Policies\\QV\\QV NYX Service\\platform_test";  // log policy
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"LoggingType", REG_SZ, L"Event", 12);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"MinLogLevel", REG_SZ, L"Information", 24);
    Bytes capabilities(0x14);
    capabilities.insert(capabilities.end(), {0, 0x20, 0, 0});  // bit 13 at offset 18h: AT-p
    struct Row {
        const char* label;
        Bytes table;
        bool ok;
        std::wstring family;  // "" and field 1 -1 after a failure
        int field1;
        Lines records;
    };
    const Row rows[] = {
        {"part number, laptop with a lock, AT-p",
         Table({Structure(1, 0x1B, {1, 2, 3}, {"QV", "NB", "PC-77"}),
                Structure(3, 0x0D, {1, 0x89}, {"QV"}),  // a laptop with a lock
                BiosInformation("%ls Ver. 01.02.03", 12, 0),
                Structure(0x83, 0x1C, capabilities, {})}),
         true, L"%ls", 1,
         Retrieved(L"%ls, version = 01.12.00", L"'PC-77', AT-p supported: yes, portable: yes")},
        {"five-character group: release bytes alone", BiosInformation("A Ver. 01.02", 12, 5), true,
         L"A", 12, Retrieved(L"A, version = 12.05")},
        {"white space before the first digit", BiosInformation("A Ver. \t9.02.03", 1, 2), true,
         L"A", 9, Retrieved(L"A, version = 09.01.02")},
        {"negative first group kept as a byte", BiosInformation("A Ver. -1.02.03", 1, 2), true,
         L"A", 25, Retrieved(L"A, version = 255.01.02")},
        {"no table", Bytes(), false, L"", -1,
         Lines{kError + L"SmbiosLite exception: Failed to get SMBIOS data from WMI"}},
        {"structure shorter than its header", Bytes{0, 3, 0, 0, 0, 0}, false, L"", -1,
         Lines{kError + L"SmbiosLite exception: Failure parsing SMBIOS data"}},
        {"no minor release byte", Structure(0, 0x15, {}, {}), false, L"", -1,
         Lines{kGetting, kError + L"Error getting BIOS version from SMBIOS"}},
        {"no version string", Structure(0, 0x16, {}, {}), false, L"", -1,
         Lines{kGetting, kError + L"Error getting BIOS Family/version string from SMBIOS"}},
        {"two words", BiosInformation("A 1", 1, 2), false, L"", -1,
         Lines{kGetting, kError + L"Error parsing BIOS string, unable to get family"}},
        {"no digit in the first group", BiosInformation("A V +.", 1, 2), false, L"", -1,
         Lines{kGetting, kError + L"SmbiosLite exception: invalid stoi argument"}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        rawTable = row.table;
        test::CapturingEventReporter events;
        std::wstring family = L"stale";
        int f[4] = {7, 7, 7, 7};
        const bool ok = GetBiosInfo(family, f[0], f[1], f[2], f[3]);
        EXPECT_EQ(std::tuple(ok, family, f[0]), std::tuple(row.ok, row.family, row.field1));
        Lines records;
        for (const auto& event : events.Events())
            records.push_back(std::regex_replace(event.strings.at(0), kHead, L""));
        EXPECT_EQ(records, row.records);
    }
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}
