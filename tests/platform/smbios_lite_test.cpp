#include "platform/smbios_lite.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "smbios_builders.h"

namespace {

using QVBiosUpdate::CutToStatedSize;
using QVBiosUpdate::SmbiosLite;
using smbios_test::Bytes;
using smbios_test::Structure;
using smbios_test::Table;

// The message of the runtime_error that parsing |data| throws; empty when it throws nothing.
std::string ParseError(const Bytes& data) {
    try {
        SmbiosLite table(data);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return {};
}

std::vector<std::uint8_t> Types(const SmbiosLite& table) {
    std::vector<std::uint8_t> types;
    for (const SmbiosLite::Structure& structure : table.Structures()) {
        types.push_back(structure.type);
    }
    return types;
}

TEST(SmbiosLiteTest, RecordsOffsetsLengthAndStringsOfEachStructure) {
    const Bytes first = Structure(0, 0x18, {1, 2}, {"QV", "ABC Ver. 01.02.03"});
    const Bytes second = Structure(0x20, 0x0B, {}, {});
    const SmbiosLite table(Table({first, second}));

    ASSERT_EQ(table.Structures().size(), 2u);
    const SmbiosLite::Structure& bios = table.Structures()[0];
    EXPECT_EQ(bios.type, 0);
    EXPECT_EQ(bios.offset, 0u);
    EXPECT_EQ(bios.length, 0x18);
    EXPECT_EQ(bios.stringOffsets, (std::vector<std::uint32_t>{0x18, 0x18 + 3}));
    const SmbiosLite::Structure& boot = table.Structures()[1];
    EXPECT_EQ(boot.type, 0x20);
    EXPECT_EQ(boot.offset, first.size());
    EXPECT_TRUE(boot.stringOffsets.empty());

    std::wstring text;
    EXPECT_TRUE(table.GetString(0, 0, 5, text));
    EXPECT_EQ(text, L"ABC Ver. 01.02.03");
    EXPECT_TRUE(table.GetString(0, 0, 4, text));
    EXPECT_EQ(text, L"QV") << "a successful read replaces the text, it does not append";
}

TEST(SmbiosLiteTest, StringSetTerminators) {
    struct Case {
        const char* name;
        Bytes data;
        std::vector<std::uint8_t> types;
    };
    const Bytes noStrings = Structure(0x20, 0x0B, {}, {});
    Bytes singleZero = noStrings;
    singleZero.pop_back();  // the set is closed by one 00, the next structure follows directly
    const Case cases[] = {
        {"double 00", Table({noStrings, smbios_test::SystemEnclosure(9)}), {0x20, 3}},
        {"single 00 then next", Table({singleZero, smbios_test::SystemEnclosure(9)}), {0x20, 3}},
        {"single 00 at the end", Table({smbios_test::SystemEnclosure(9), singleZero}), {3, 0x20}},
        {"end of table is not special",
         Table({smbios_test::EndOfTable(), smbios_test::SystemEnclosure(9)}),
         {127, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SmbiosLite table(c.data);
        EXPECT_EQ(Types(table), c.types);
        std::uint8_t chassis = 0;
        EXPECT_TRUE(table.GetByte(3, 0, 5, chassis));
        EXPECT_EQ(chassis, 9);
    }
}

TEST(SmbiosLiteTest, StructureWithoutStringsHasNoStringToRead) {
    // Offset 4 holds string number 1, offset 5 number 0.
    const SmbiosLite table(Structure(0x20, 0x0B, {1, 0}, {}));
    ASSERT_EQ(table.Structures().size(), 1u);
    EXPECT_TRUE(table.Structures()[0].stringOffsets.empty());
    std::wstring text = L"untouched";
    EXPECT_FALSE(table.GetString(0x20, 0, 4, text));
    EXPECT_FALSE(table.GetString(0x20, 0, 5, text));
    EXPECT_EQ(text, L"untouched");
}

TEST(SmbiosLiteTest, FaultsEndTheParseAndKeepEarlierStructures) {
    const Bytes good = smbios_test::SystemEnclosure(10);
    Bytes shortLength = Structure(1, 8, {}, {});
    shortLength[1] = 3;  // a formatted area shorter than the header
    Bytes areaToTheEnd = Structure(1, 8, {}, {});
    areaToTheEnd.resize(8);  // no room for a string set
    Bytes areaBeyondEnd = Structure(1, 0x20, {}, {});
    areaBeyondEnd.resize(10);
    Bytes unclosedString = Structure(1, 8, {}, {"text"});
    unclosedString.resize(8 + 4);  // the string's own 0 is missing
    Bytes unclosedSet = Structure(1, 8, {}, {"text"});
    unclosedSet.pop_back();  // the 0 that closes the set is missing

    struct Case {
        const char* name;
        Bytes fault;
    };
    const Case cases[] = {
        {"length below 4", shortLength},
        {"formatted area ends at the end of the data", areaToTheEnd},
        {"formatted area beyond the end of the data", areaBeyondEnd},
        {"string not closed", unclosedString},
        {"string set not closed", unclosedSet},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ParseError(c.fault), "Failure parsing SMBIOS data") << "fault in the first";

        const SmbiosLite table(Table({good, c.fault}));
        EXPECT_EQ(Types(table), std::vector<std::uint8_t>{3}) << "fault in a later structure";
        std::uint8_t chassis = 0;
        EXPECT_TRUE(table.GetByte(3, 0, 5, chassis));
        EXPECT_EQ(chassis, 10);
    }
    EXPECT_EQ(Types(SmbiosLite(Table({good, shortLength, good}))), std::vector<std::uint8_t>{3})
        << "nothing after a fault is parsed";
}

TEST(SmbiosLiteTest, FiveBytesOrFewerLeftEndTheParse) {
    const Bytes good = smbios_test::SystemEnclosure(10);
    // The start of an empty structure (1 8 ...) with its last bytes missing.
    const Bytes complete = Structure(0x20, 4, {}, {});
    for (size_t left = 1; left <= 5; ++left) {
        SCOPED_TRACE(left);
        const Bytes tail(complete.begin(), complete.begin() + left);
        EXPECT_EQ(ParseError(tail), "Failure parsing SMBIOS data");
        const SmbiosLite table(Table({good, tail}));
        EXPECT_EQ(Types(table), std::vector<std::uint8_t>{3});
    }
    EXPECT_EQ(Types(SmbiosLite(Table({good, complete}))), (std::vector<std::uint8_t>{3, 0x20}))
        << "six bytes make a structure";
}

TEST(SmbiosLiteTest, NoDataIsReportedAsNoDataFromWmi) {
    EXPECT_EQ(ParseError({}), "Failed to get SMBIOS data from WMI");
}

TEST(SmbiosLiteTest, StatedSizeCutsTheData) {
    const Bytes first = Structure(0x20, 0x08, {}, {});  // 10 bytes
    ASSERT_EQ(first.size(), 10u);
    Bytes hundred = Table({first, smbios_test::SystemEnclosure(9)});
    hundred.resize(100, 0xAA);

    const Bytes cut = CutToStatedSize(hundred, 10);
    EXPECT_EQ(cut, first);
    EXPECT_EQ(Types(SmbiosLite(cut)), std::vector<std::uint8_t>{0x20});

    EXPECT_EQ(CutToStatedSize(hundred, 100), hundred);
    EXPECT_EQ(CutToStatedSize(hundred, 5000), hundred) << "a larger size changes nothing";
    EXPECT_TRUE(CutToStatedSize(hundred, 0).empty());
}

TEST(SmbiosLiteTest, AccessorBoundsFollowTheFormattedArea) {
    // Type 2 of length 0Ch: bytes 8 to 11 hold 11h 22h 33h 44h; string "Board" is string 1.
    const Bytes board = Structure(2, 0x0C, {1, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}, {"Board"});
    const SmbiosLite table(Table({board, smbios_test::SystemEnclosure(3)}));

    struct ByteCase {
        std::uint32_t offset;
        bool found;
        std::uint8_t value;
    };
    const ByteCase bytes[] = {{0, true, 2},
                              {1, true, 0x0C},
                              {0x0B, true, 0x44},
                              {0x0C, false, 0},
                              {0xFFFFFFFF, false, 0}};
    for (const ByteCase& c : bytes) {
        SCOPED_TRACE(c.offset);
        std::uint8_t value = 0x5A;
        EXPECT_EQ(table.GetByte(2, 0, c.offset, value), c.found);
        EXPECT_EQ(value, c.found ? c.value : 0x5A);
    }

    struct DwordCase {
        std::uint32_t offset;
        bool found;
        std::uint32_t value;
    };
    const DwordCase dwords[] = {
        {8, true, 0x44332211}, {7, true, 0x33221100}, {9, false, 0}, {0xFFFFFFFE, false, 0}};
    for (const DwordCase& c : dwords) {
        SCOPED_TRACE(c.offset);
        std::uint32_t value = 0x5A5A5A5A;
        EXPECT_EQ(table.GetDword(2, 0, c.offset, value), c.found);
        EXPECT_EQ(value, c.found ? c.value : 0x5A5A5A5Au);
    }

    std::wstring text = L"untouched";
    EXPECT_FALSE(table.GetString(2, 0, 0x0C, text)) << "string number beyond the area";
    EXPECT_FALSE(table.GetString(2, 0, 8, text)) << "string 11h of a structure with one";
    EXPECT_EQ(text, L"untouched");
    EXPECT_TRUE(table.GetString(2, 0, 4, text));
    EXPECT_EQ(text, L"Board");
}

TEST(SmbiosLiteTest, InstancesCountStructuresOfOneTypeInTableOrder) {
    const SmbiosLite table(
        Table({smbios_test::SystemEnclosure(3), smbios_test::SystemInformation("A"),
               smbios_test::SystemEnclosure(9)}));
    std::uint8_t chassis = 0;
    EXPECT_TRUE(table.GetByte(3, 1, 5, chassis));
    EXPECT_EQ(chassis, 9);
    EXPECT_FALSE(table.GetByte(3, 2, 5, chassis));

    // Type 1 occurs once: instance 1 fails for every accessor.
    std::uint8_t byte = 0x5A;
    std::uint32_t dword = 0x5A5A5A5A;
    std::wstring text = L"untouched";
    EXPECT_FALSE(table.GetByte(1, 1, 0, byte));
    EXPECT_FALSE(table.GetDword(1, 1, 0, dword));
    EXPECT_FALSE(table.GetString(1, 1, 6, text));
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(dword, 0x5A5A5A5Au);
    EXPECT_EQ(text, L"untouched");
    EXPECT_FALSE(table.GetByte(4, 0, 0, byte)) << "a type that does not occur";
}

TEST(SmbiosLiteTest, StringBytesWidenBySignExtension) {
    const SmbiosLite table(smbios_test::SystemInformation(std::string("A\x7F\x80\xE9\xFF", 5)));
    std::wstring text;
    ASSERT_TRUE(table.GetString(1, 0, 6, text));
    const std::wstring expected{L'A', wchar_t{0x7F}, wchar_t{0xFF80}, wchar_t{0xFFE9},
                                wchar_t{0xFFFF}};
    EXPECT_EQ(text, expected);
}

}  // namespace
