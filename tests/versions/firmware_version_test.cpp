#include "versions/firmware_version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using Fields = std::array<int, 4>;
using Bytes = std::array<unsigned, 4>;

Fields BiosFields(const std::wstring& text) {
    Fields fields{7, 7, 7, 7};
    ParseBiosVersionText(text, fields[0], fields[1], fields[2], fields[3]);
    return fields;
}

Bytes CapsuleBytes(const wchar_t* name) {
    std::uint8_t b[4] = {7, 7, 7, 7};
    ParseCapsuleVersion(name, b[0], b[1], b[2], b[3]);
    return {b[0], b[1], b[2], b[3]};
}

FirmwareVersion Number(const Bytes& b) {
    return MakeFirmwareVersion(static_cast<std::uint8_t>(b[0]), static_cast<std::uint8_t>(b[1]),
                               static_cast<std::uint8_t>(b[2]), static_cast<std::uint8_t>(b[3]));
}

std::wstring Digits(int f1, int f2, int f3, int f4) {
    // A guard right behind the buffer shows a write past it.
    struct Guarded {
        wchar_t text[kVersionDigitsBufferLength];
        wchar_t guard[4];
    } buffer;
    std::fill(std::begin(buffer.text), std::end(buffer.text), L'#');
    std::fill(std::begin(buffer.guard), std::end(buffer.guard), L'#');
    FormatVersionDigits(f1, f2, f3, f4, buffer.text);
    for (const wchar_t c : buffer.guard) {
        EXPECT_EQ(c, L'#') << "written past the nine-character buffer";
    }
    return buffer.text;
}

TEST(FirmwareVersionTest, DigitPairIsTwoDecimalDigitsOrMinusOne) {
    struct Case {
        wchar_t high, low;
        int expected;
    };
    const Case cases[] = {
        {L'0', L'7', 7},
        {L'9', L'9', 99},
        {L'1', L'0', 10},
        {L' ', L'5', -1},
        {L'a', L'1', -1},
        {L'5', L'.', -1},
        {L'/', L'0', -1},
        {L'0', L':', -1},
        {L'\0', L'0', -1},
        {L'0', L'\0', -1},
        // Full-width digit zero and a character whose low 16 bits alone would read as '0'.
        {L'\xFF10', L'1', -1},
        {static_cast<wchar_t>(0xFFFF), L'1', -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDigitPair(c.high, c.low), c.expected)
            << static_cast<unsigned>(c.high) << " " << static_cast<unsigned>(c.low);
    }
}

TEST(FirmwareVersionTest, BiosVersionTextOfEveryLength) {
    struct Case {
        std::wstring text;
        Fields fields;
        FirmwareVersion number;  // from the low bytes of the fields
    };
    const Case cases[] = {
        {L"01.12.00", {1, 12, 0, 0}, 0x010C0000},
        {L"01.12.00.05", {1, 12, 0, 5}, 0x010C0005},
        {L"01.12.00.0", {1, 12, 0, 0}, 0x010C0000},  // ten characters: no fourth field
        {L"01.1x.00", {1, -1, 0, 0}, 0x01FF0000},
        {L"ab.12.00", {-1, 12, 0, 0}, 0xFF0C0000},
        // The five-character form: the third group lies beyond the text.
        {L"12.05", {12, 5, -1, 0}, 0x0C05FF00},
        {L"12.05.", {12, 5, -1, 0}, 0x0C05FF00},
        {L"12.05.1", {12, 5, -1, 0}, 0x0C05FF00},
        {L"", {-1, -1, -1, 0}, 0xFFFFFF00},
        {L"1", {-1, -1, -1, 0}, 0xFFFFFF00},
        // A release byte of 100 or more makes a three-digit group.
        {L"01.100.00", {1, 10, -1, 0}, 0x010AFF00},
        // The text ends at its first zero character.
        {std::wstring(L"01.12.00\0.05", 12), {1, 12, 0, 0}, 0x010C0000},
        {std::wstring(L"12.05\0"
                      L"00",
                      8),
         {12, 5, -1, 0},
         0x0C05FF00},
        // Separators are not examined.
        {L"01-12-00-05", {1, 12, 0, 5}, 0x010C0005},
    };
    for (const Case& c : cases) {
        const Fields fields = BiosFields(c.text);
        EXPECT_EQ(fields, c.fields) << c.text.c_str();
        EXPECT_EQ(MakeFirmwareVersion(
                      static_cast<std::uint8_t>(fields[0]), static_cast<std::uint8_t>(fields[1]),
                      static_cast<std::uint8_t>(fields[2]), static_cast<std::uint8_t>(fields[3])),
                  c.number)
            << c.text.c_str();
    }
}

TEST(FirmwareVersionTest, CapsuleNameVersionBytes) {
    struct Case {
        const wchar_t* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {L"ABC_01120000.bin", {1, 12, 0, 0}},
        {L"ABC_011200.bin", {1, 12, 0, 255}},  // the full stop and the b are not digits
        {L"ABC_010203.bin", {1, 2, 3, 255}},
        {L"ABC_01020304.bin", {1, 2, 3, 4}},
        {L"ABC_011200", {0, 0, 0, 0}},     // ten characters
        {L"ABC_0112000", {0, 0, 0, 0}},    // eleven
        {L"ABC_01120000", {1, 12, 0, 0}},  // twelve
        {L"ABC_xx1200zz", {255, 12, 0, 255}},
        {L"", {0, 0, 0, 0}},
        {nullptr, {0, 0, 0, 0}},
        // The family and the underscore are not examined.
        {L"zzzz99999999", {99, 99, 99, 99}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CapsuleBytes(c.name), c.bytes) << (c.name ? c.name : L"(null)");
    }
}

TEST(FirmwareVersionTest, CapsuleNameIsReadWithinItsFirst260Characters) {
    std::wstring longName = L"ABC_01130000" + std::wstring(400, L'x');
    EXPECT_EQ(CapsuleBytes(longName.c_str()), (Bytes{1, 13, 0, 0}));
}

TEST(FirmwareVersionTest, VersionNumbersOrderFieldByField) {
    EXPECT_EQ(MakeFirmwareVersion(1, 12, 0, 0), 0x010C0000u);
    EXPECT_EQ(MakeFirmwareVersion(255, 255, 255, 255), 0xFFFFFFFFu);
    // Bits 63 to 32 stay 0.
    EXPECT_EQ(MakeFirmwareVersion(255, 0, 0, 0) >> 32, 0u);
    // The capsule edge cases against a BIOS at 01.12.00.
    const FirmwareVersion bios = 0x010C0000;
    EXPECT_FALSE(Number(CapsuleBytes(L"ABC_01120000.bin")) > bios);  // equal, not newer
    EXPECT_TRUE(Number(CapsuleBytes(L"ABC_011200.bin")) > bios);     // 010C00FF
    EXPECT_GT(Number(CapsuleBytes(L"ABC_010203.bin")), Number(CapsuleBytes(L"ABC_01020304.bin")));
    EXPECT_GT(MakeFirmwareVersion(2, 0, 0, 0), MakeFirmwareVersion(1, 99, 99, 99));
    EXPECT_GT(MakeFirmwareVersion(1, 1, 0, 0), MakeFirmwareVersion(1, 0, 255, 255));
}

TEST(FirmwareVersionTest, TextForms) {
    EXPECT_EQ(FormatVersionHex(0x010C0000), L"010c0000");
    EXPECT_EQ(FormatVersionHex(0), L"00000000");
    EXPECT_EQ(FormatVersionHex(0xFFFFFFFF), L"ffffffff");
    EXPECT_EQ(FormatVersionHex(0x123456789ull), L"123456789");

    EXPECT_EQ(FormatVersionDotted(1, 12, 0, 0), L"01.12.00.00");
    EXPECT_EQ(FormatVersionDotted(1, 13, 0, 255), L"01.13.00.255");
    EXPECT_EQ(FormatVersionDotted(-1, 12, 0, 0), L"-01.12.00.00");

    struct Case {
        Fields fields;
        std::wstring text;
    };
    const Case cases[] = {
        {{1, 12, 0, 0}, L"01120000"},    {{99, 99, 99, 99}, L"99999999"},
        {{1, 12, 0, -1}, L"011200-1"},  // "%02d" of -1 is "-1"
        {{1, -12, 0, 0}, L"01-12000"},  // "01-120000" cut to eight characters
        {{1, 12, 0, 255}, L"01120025"},  {{255, 255, 255, 255}, L"25525525"},
        {{-1, -1, -1, -1}, L"-1-1-1-1"}, {{-2147483647 - 1, 0, 0, 0}, L"-2147483"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Digits(c.fields[0], c.fields[1], c.fields[2], c.fields[3]), c.text);
    }
}

TEST(FirmwareVersionTest, VersionSeriesOfFolderNames) {
    struct Case {
        std::wstring folder;
        bool hasSeries;
        std::wstring series;
    };
    const Case cases[] = {
        {L"abc_01120000.inf_amd64_1f2e", true, L"01120000"},
        {L"abc_0.inf", true, L"0"},
        {L"abc.inf_x86", false, L""},        // no underscore before the .inf
        {L"abc_.inf_x86", false, L""},       // nothing between
        {L"abc_0112", false, L""},           // no .inf
        {L"abc_0112.INF_x86", false, L""},   // .inf is matched in exact case
        {L"abc_a_b.inf_c_d", true, L"a_b"},  // first underscore, first .inf
        {L"abc_0112.inf.inf", true, L"0112"},
        {L"_x.inf", true, L"x"},
        {L"", false, L""},
    };
    for (const Case& c : cases) {
        const std::optional<std::wstring> series = ExtractVersionSeries(c.folder);
        EXPECT_EQ(series.has_value(), c.hasSeries) << c.folder.c_str();
        if (series && c.hasSeries) {
            EXPECT_EQ(*series, c.series) << c.folder.c_str();
        }
    }
}

TEST(FirmwareVersionTest, SeriesIsNewerOnlyWhenItSortsAfter) {
    struct Case {
        std::wstring series, installed;
        bool newer;
    };
    const Case cases[] = {
        {L"01130000", L"01120000", true},
        {L"01120000", L"01120000", false},
        {L"01110000", L"01120000", false},
        {L"011200", L"01120000", false},    // prefix, shorter
        {L"011200001", L"01120000", true},  // prefix, longer
        {L"", L"01120000", false},
        {L"", L"", false},
        {L"0", L"", true},
        {L"9", L"10000000", true},  // text order, not numeric
        {L"0112000a", L"01120009", true},
        {L"01120000", L"0112000-", true},  // an installed text with a malformed field
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSeriesNewer(c.series, c.installed), c.newer)
            << c.series.c_str() << " vs " << c.installed.c_str();
    }
}

}  // namespace
