// The BIOS identity, with the raw table supplied by the test and the records read back from
// the logging framework's file.
#include "platform/bios_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_raw_smbios.h"
#include "logged_records.h"
#include "smbios_builders.h"

namespace {

using platform_test::LoggedRecord;
using smbios_test::BiosInformation;  // on its own, a whole table
using smbios_test::Bytes;
using smbios_test::Table;

constexpr char kFunction[] = "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo";

LoggedRecord Info(const std::wstring& message) {
    return {L"Information", kFunction, message};
}
LoggedRecord Error(const std::wstring& message) {
    return {L"Error", kFunction, message};
}

const LoggedRecord kGetting = Info(L"Getting SMBIOS information");

struct Expected {
    std::wstring family;
    std::wstring version;
    std::uint8_t versionGroup1;
    std::uint8_t major;
    std::uint8_t minor;
    std::wstring pcid;
    bool atpSupported;
    bool portable;
    int fields[4];  // as GetBiosInfo hands them out
};

struct SuccessCase {
    const char* name;
    Bytes table;
    Expected expected;
};

// The record that closes a successful read.
LoggedRecord IdentityRecord(const std::wstring& pcid, bool atpSupported, bool portable) {
    return Info(L"PCID: '" + pcid + L"', AT-p supported: " + (atpSupported ? L"yes" : L"no") +
                L", portable: " + (portable ? L"yes" : L"no"));
}

TEST(BiosInfoTest, FamilyAndVersionFromTheVersionStringAndReleaseBytes) {
    const SuccessCase cases[] = {
        {"three groups",
         Table({BiosInformation("ABC Ver. 01.02.03", 12, 0),
                smbios_test::SystemInformation("PC-77"), smbios_test::SystemEnclosure(0x89),
                smbios_test::OemCapabilities(0x2000)}),
         {L"ABC", L"01.12.00", 1, 12, 0, L"PC-77", true, true, {1, 12, 0, 0}}},
        {"third word of five characters",
         BiosInformation("ABC Ver. 01.02", 12, 5),
         {L"ABC", L"12.05", 255, 12, 5, L"", false, false, {12, 5, -1, 0}}},
        {"single digit then a full stop",
         BiosInformation("ABC Ver. 7.02.03", 12, 0),
         {L"ABC", L"07.12.00", 7, 12, 0, L"", false, false, {7, 12, 0, 0}}},
        {"release bytes of 100 and more",
         BiosInformation("ABC Ver. 01.02.03", 100, 255),
         {L"ABC", L"01.100.255", 1, 100, 255, L"", false, false, {1, 10, -1, 0}}},
        {"leading blank",
         BiosInformation(" ABC 01.02.03", 12, 0),
         {L"", L"01.12.00", 1, 12, 0, L"", false, false, {1, 12, 0, 0}}},
        {"plus sign before the digit",
         BiosInformation("ABC Ver. +4.02.03", 1, 2),
         {L"ABC", L"04.01.02", 4, 1, 2, L"", false, false, {4, 1, 2, 0}}},
        {"white space before the digit",
         BiosInformation("ABC Ver. \t4.02.03", 1, 2),
         {L"ABC", L"04.01.02", 4, 1, 2, L"", false, false, {4, 1, 2, 0}}},
        {"character without an ANSI mapping reads as a blank",
         BiosInformation("ABC Ver. \x80"
                         "1.02.03",
                         12, 0),
         {L"ABC", L"01.12.00", 1, 12, 0, L"", false, false, {1, 12, 0, 0}}},
        {"negative first group",
         BiosInformation("ABC Ver. -1.02.03", 1, 2),
         {L"ABC", L"255.01.02", 255, 1, 2, L"", false, false, {25, -1, -1, 0}}},
        {"more words",
         BiosInformation("XYZ Ver. 01.02.03 beta 2", 3, 4),
         {L"XYZ", L"01.03.04", 1, 3, 4, L"", false, false, {1, 3, 4, 0}}},
        {"non-ASCII bytes widen",
         Table({BiosInformation("\xE9T\xC9 Ver. 01.02.03", 12, 0),
                smbios_test::SystemInformation("\x80")}),
         {L"\xFFE9T\xFFC9", L"01.12.00", 1, 12, 0, L"\xFF80", false, false, {1, 12, 0, 0}}},
    };
    for (const SuccessCase& c : cases) {
        SCOPED_TRACE(c.name);
        platform_test::SetRawSmbiosData(c.table);
        const platform_test::LogCursor log;

        QVBiosUpdate::SmbiosInfo info;
        ASSERT_TRUE(info.GetSmbiosInfo());
        EXPECT_EQ(info.family, c.expected.family);
        EXPECT_EQ(info.version, c.expected.version);
        EXPECT_EQ(info.versionGroup1, c.expected.versionGroup1);
        EXPECT_EQ(info.biosMajorRelease, c.expected.major);
        EXPECT_EQ(info.biosMinorRelease, c.expected.minor);
        EXPECT_EQ(info.pcid, c.expected.pcid);
        EXPECT_EQ(info.atpSupported, c.expected.atpSupported);
        EXPECT_EQ(info.portable, c.expected.portable);
        EXPECT_EQ(
            log.NewRecords(),
            (std::vector<LoggedRecord>{
                kGetting,
                Info(L"Successfully retrieved SMBIOS settings: BIOS Family = " + c.expected.family +
                     L", version = " + c.expected.version),
                IdentityRecord(c.expected.pcid, c.expected.atpSupported, c.expected.portable)}));

        std::wstring family = L"stale";
        int fields[4] = {7, 7, 7, 7};
        ASSERT_TRUE(GetBiosInfo(family, fields[0], fields[1], fields[2], fields[3]));
        EXPECT_EQ(family, c.expected.family);
        EXPECT_EQ(std::vector<int>(fields, fields + 4),
                  std::vector<int>(c.expected.fields, c.expected.fields + 4));
    }
}

TEST(BiosInfoTest, FailuresAreLoggedAndLeaveNoIdentity) {
    Bytes shortBios = smbios_test::Structure(0, 0x15, {}, {});  // ends before offset 15h
    Bytes noVersionString = BiosInformation("ABC Ver. 01.02.03", 12, 0);
    noVersionString[5] = 0;  // the structure names no version string

    struct Case {
        const char* name;
        Bytes table;
        std::vector<LoggedRecord> records;
    };
    const Case cases[] = {
        {"no data", {}, {Error(L"SmbiosLite exception: Failed to get SMBIOS data from WMI")}},
        {"no structure",
         Bytes{0, 2, 0, 0, 0, 0},
         {Error(L"SmbiosLite exception: Failure parsing SMBIOS data")}},
        {"no BIOS information",
         smbios_test::SystemInformation("PC-77"),
         {kGetting, Error(L"Error getting BIOS version from SMBIOS")}},
        {"no minor release byte",
         shortBios,
         {kGetting, Error(L"Error getting BIOS version from SMBIOS")}},
        {"no version string",
         noVersionString,
         {kGetting, Error(L"Error getting BIOS Family/version string from SMBIOS")}},
        {"two words",
         BiosInformation("ABC 01.02.03", 12, 0),
         {kGetting, Error(L"Error parsing BIOS string, unable to get family")}},
        {"empty version string",
         BiosInformation("", 12, 0),
         {kGetting, Error(L"Error getting BIOS Family/version string from SMBIOS")}},
        {"third word starts with letters",
         BiosInformation("ABC Ver. XY.02.03", 12, 0),
         {kGetting, Error(L"SmbiosLite exception: invalid stoi argument")}},
        {"third word empty",
         BiosInformation("ABC Ver.  01.02.03", 12, 0),
         {kGetting, Error(L"SmbiosLite exception: invalid stoi argument")}},
        {"sign without digits",
         BiosInformation("ABC Ver. +.02.03", 12, 0),
         {kGetting, Error(L"SmbiosLite exception: invalid stoi argument")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform_test::SetRawSmbiosData(c.table);
        const platform_test::LogCursor log;

        QVBiosUpdate::SmbiosInfo info;
        EXPECT_FALSE(info.GetSmbiosInfo());
        EXPECT_EQ(log.NewRecords(), c.records);

        std::wstring family = L"stale";
        int fields[4] = {7, 7, 7, 7};
        EXPECT_FALSE(GetBiosInfo(family, fields[0], fields[1], fields[2], fields[3]));
        EXPECT_EQ(family, L"");
        EXPECT_EQ(std::vector<int>(fields, fields + 4), (std::vector<int>{-1, -1, -1, -1}));
    }
}

TEST(BiosInfoTest, PortableChassisAndAtpBit) {
    struct Case {
        std::uint8_t chassisType;
        std::uint32_t capabilities;
        bool portable;
        bool atp;
    };
    const Case cases[] = {
        {3, 0x00002000, false, true},   // Desktop
        {7, 0xFFFFDFFF, false, false},  // Tower; every bit but 13
        {8, 0, true, false},            // Portable
        {9, 0, true, false},            // Laptop
        {10, 0, true, false},           // Notebook
        {0x8A, 0, true, false},         // Notebook with a chassis lock
        {0x83, 0, false, false},        // Desktop with a chassis lock
        {11, 0, false, false},          // Hand Held
        {30, 0, true, false},           // Tablet
        {31, 0, false, false},          // Convertible
        {32, 0, true, false},           // Detachable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chassis " << int{c.chassisType});
        platform_test::SetRawSmbiosData(Table({BiosInformation("ABC Ver. 01.02.03", 12, 0),
                                               smbios_test::SystemEnclosure(c.chassisType),
                                               smbios_test::OemCapabilities(c.capabilities)}));
        const platform_test::LogCursor log;

        QVBiosUpdate::SmbiosInfo info;
        ASSERT_TRUE(info.GetSmbiosInfo());
        EXPECT_EQ(info.portable, c.portable);
        EXPECT_EQ(info.atpSupported, c.atp);
        const std::vector<LoggedRecord> records = log.NewRecords();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back(), IdentityRecord(L"", c.atp, c.portable));
    }
}

TEST(BiosInfoTest, FormatCharactersInTheTableAreData) {
    platform_test::SetRawSmbiosData(Table(
        {BiosInformation("%n%ls Ver. 01.02.03", 12, 0), smbios_test::SystemInformation("%s%d")}));
    const platform_test::LogCursor log;
    QVBiosUpdate::SmbiosInfo info;
    ASSERT_TRUE(info.GetSmbiosInfo());
    EXPECT_EQ(info.family, L"%n%ls");
    EXPECT_EQ(log.NewRecords(),
              (std::vector<LoggedRecord>{
                  kGetting,
                  Info(L"Successfully retrieved SMBIOS settings: BIOS Family = %n%ls, version = "
                       L"01.12.00"),
                  IdentityRecord(L"%s%d", false, false)}));
}

}  // namespace
