#include "versions/firmware_version.h"
#include <gtest/gtest.h>
#include <array>
#include <tuple>

namespace {
using Fields = std::array<int, 4>;

TEST(FirmwareVersionTest, BiosVersionTextGivesFieldsAndAnOrderedNumber) {
    // clang-format off
    const std::tuple<std::wstring, Fields, FirmwareVersion> cases[] = {  // number: low bytes
        {L"01.12.00", {1, 12, 0, 0}, 0x010C0000}, {L"01-12-00-05", {1, 12, 0, 5}, 0x010C0005},
        {L"01.12.00.0", {1, 12, 0, 0}, 0x010C0000}, {L"ab.1x.00", {-1, -1, 0, 0}, 0xFFFF0000},
        {L"12.05.1", {12, 5, -1, 0}, 0x0C05FF00}, {L"", {-1, -1, -1, 0}, 0xFFFFFF00},
        {std::wstring(L"01.12.00\0.05", 12), {1, 12, 0, 0}, 0x010C0000}};  // ends at a zero
    // clang-format on
    for (const auto& [text, fields, number] : cases) {
        Fields f{7, 7, 7, 7};
        ParseBiosVersionText(text, f[0], f[1], f[2], f[3]);
        EXPECT_EQ(f, fields) << text.c_str();
        EXPECT_EQ(MakeFirmwareVersion(f[0] & 0xFF, f[1] & 0xFF, f[2] & 0xFF, f[3] & 0xFF), number);
    }
}

TEST(FirmwareVersionTest, CapsuleNamesGiveVersionBytesAndOnlyDigitNamesCompete) {
    const std::wstring longName = L"ABC_01130000" + std::wstring(400, L'x');
    // clang-format off
    const std::pair<const wchar_t*, std::array<unsigned, 4>> cases[] = {
        {L"ABC_01120000.bin", {1, 12, 0, 0}}, {L"ABC_011200.bin", {1, 12, 0, 255}},
        {L"zzzz99999999", {99, 99, 99, 99}},  {L"ABC_0112000", {0, 0, 0, 0}},
        {nullptr, {0, 0, 0, 0}},              {longName.c_str(), {1, 13, 0, 0}}};
    // Candidates: the long name matches "<family>_??????*.bin", ASCII case ignored, with digit
    // pairs (the fourth may be the ".b" of a six-digit name).
    const std::tuple<const wchar_t*, bool> candidates[] = {
        {L"ABC_01130000.bin", true}, {L"abc_01130000.BIN", true}, {L"ABC_011300.bin", true},
        {L"ABC_01130000x.bin", true}, {L"ABC_0113000.bin", false}, {L"ABC_011300ab.bin", false},
        {L"ABC_xx130000.bin", false}, {L"ABC_01130000.bin.txt", false}, {L"ABC_01130000", false},
        {L"XYZ_01130000.bin", false}, {L"ABC_01\xFF10" L"30000.bin", false}, {nullptr, false}};
    // clang-format on
    for (const auto& [name, expected] : cases) {
        std::uint8_t b[4] = {7, 7, 7, 7};
        ParseCapsuleVersion(name, b[0], b[1], b[2], b[3]);
        EXPECT_EQ((std::array<unsigned, 4>{b[0], b[1], b[2], b[3]}), expected);
    }
    for (const auto& [name, candidate] : candidates) {
        EXPECT_EQ(IsCapsuleCandidateName(name, L"ABC"), candidate) << (name ? name : L"(null)");
    }
}

TEST(FirmwareVersionTest, TextFormsStayWithinTheirBuffers) {
    // clang-format off
    const std::pair<Fields, std::wstring> cases[] = {
        {{1, 12, 0, 0}, L"01120000"},   {{1, 12, 0, -1}, L"011200-1"},
        {{1, 12, 0, 255}, L"01120025"}, {{-2147483647 - 1, 0, 0, 0}, L"-2147483"}};
    // clang-format on
    for (const auto& [f, expected] : cases) {
        struct {
            wchar_t text[kVersionDigitsBufferLength];
            wchar_t guard[2] = {L'#', L'#'};  // shows a write past the buffer
        } buffer;
        FormatVersionDigits(f[0], f[1], f[2], f[3], buffer.text);
        EXPECT_EQ(buffer.text, expected);
        EXPECT_EQ(std::wstring(buffer.guard, 2), L"##");
    }
}

TEST(FirmwareVersionTest, DriverStoreSeriesAndTheirOrder) {
    // clang-format off
    const std::pair<std::wstring, const wchar_t*> folders[] = {
        {L"abc_01120000.inf_amd64_1f2e", L"01120000"}, {L"abc_a_b.inf_c_d", L"a_b"},
        {L"abc.inf_x86", nullptr}, {L"abc_.inf_x86", nullptr}, {L"abc_0112.INF", nullptr}};
    for (const auto& [folder, series] : folders) {
        EXPECT_EQ(ExtractVersionSeries(folder).value_or(L"-"), series ? series : L"-");
    }
    // Series, installed, newer, and whether it counts as firmware: six or eight digits only
    // ("audio" sorts above every digit).
    const std::tuple<const wchar_t*, const wchar_t*, bool, bool> order[] = {
        {L"01130000", L"01120000", true, true}, {L"01120000", L"01120000", false, true},
        {L"01110000", L"01120000", false, true}, {L"011200", L"01120000", false, true},
        {L"011200001", L"01120000", true, false}, {L"9", L"10000000", true, false},
        {L"", L"", false, false}, {L"audio", L"01120000", true, false},
        {L"0113a000", L"01120000", true, false}, {L"0113000", L"01120000", true, false}};
    // clang-format on
    for (const auto& [series, installed, newer, digits] : order) {
        EXPECT_EQ(IsSeriesNewer(series, installed), newer) << series << " " << installed;
        EXPECT_EQ(IsDigitSeries(series), digits) << series;
    }
}

// Only the family's own firmware packages choose the driver store and hold its capsules.
TEST(FirmwareVersionTest, FirmwarePackageFoldersOfTheFamily) {
    const struct {
        const char* label;
        const wchar_t *folder, *series;  // "-": not a firmware package of family ABC
    } cases[] = {
        // clang-format off
        {"eight digits", L"abc_01130000.inf_amd64_1f2e", L"01130000"},
        {"six digits, case differs", L"ABC_011300.INF_x86_9", L"011300"},
        {"nothing after the INF", L"Abc_01130000.inf", L"01130000"},
        {"another family beginning alike", L"abcd_01130000.inf_amd64_1f2e", L"-"},
        {"another family", L"xyz_01140000.inf_x", L"-"}, {"not digits", L"abc_audio.inf_x", L"-"},
        {"seven digits", L"abc_0113000.inf_x", L"-"}, {"no INF", L"abc_01130000_amd64", L"-"},
        {"more after the INF's name", L"abc_01130000.infx_amd64", L"-"}, {"family", L"abc", L"-"},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FirmwarePackageSeries(c.folder, L"ABC").value_or(L"-"), c.series);
    }
}
}  // namespace
