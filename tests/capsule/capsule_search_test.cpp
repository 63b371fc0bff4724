// The capsule search over folder trees the tests build, and the two well-known folders.
#include "capsule/capsule_search.h"
#include "capsule/firmware_folders.h"

#include <gtest/gtest.h>

#include <array>

#include "records/service_log.h"
#include "support/test_support.h"

namespace {

using Bytes = std::array<BYTE, 4>;
using Lines = std::vector<std::wstring>;
const std::wstring kRefused = L"Capsule folder may not be used: ";

void Create(const std::wstring& path) {  // an empty file, and the folders on the way
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    ::CloseHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0));
}

// Each test starts from the process's own choice of folder and puts it back after.
class CapsuleSearchTest : public ::testing::Test {
    const bool saved_ = searchDriverStore;
    void TearDown() override { searchDriverStore = saved_; }
};

TEST_F(CapsuleSearchTest, FindsTheNewestCapsuleOfTheFamilyAboveTheBar) {
    const struct {
        const wchar_t* tree;   // files below the start folder, separated by "|"
        const wchar_t* found;  // below the start folder (which ends in a backslash); "" for none
        Bytes bar{};
        const wchar_t* family = L"ABC";
        const wchar_t* writable = L"";     // a folder below the start folder anyone may write to
        const wchar_t* refused = nullptr;  // the folder logged as refused, below the start folder
    } cases[] = {
        // clang-format off
        // Only real capsule names compete: no folder, other family, text or version pair.
        {L"p\\ABC_01130000.bin|p\\ABC_xx000000.bin|p\\ABC_99999999.bin\\f|p\\ABC_01140000.bin_old|"
         L"p\\XYZ_011500.bin|p\\ABC_011500.txt|p\\ZABC_011500.bin|p\\ABC-011500.bin",
         L"p\\ABC_01130000.bin"},
        {L"ABC_011300.bin|p\\ABC_011200.bin", L"\\ABC_011300.bin"},
        {L"ABC_011200.bin|p\\ABC_011400.bin|p\\a\\b\\ABC_011500.bin", L"p\\a\\b\\ABC_011500.bin"},
        {L"p\\ABC_011400.bin|p\\s\\ABC_011400.bin", L"p\\s\\ABC_011400.bin"},  // the first met
        {L"p\\ABC_011300.bin|q\\ABC_011201.bin", L"p\\ABC_011300.bin", {1, 12, 1, 255}},
        {L"p\\ABC_011300.bin", L"", {1, 13, 0, 255}},  // six digits: the fourth field is 255
        {L"p\\ AB_011300.bin|p\\AB_011400.bin", L"p\\ AB_011300.bin", {}, L"AB"},
        // A capsule in a folder others may write to, or below one, does not compete; such a
        // folder is judged only when a capsule in it would win.
        {L"p\\ABC_011400.bin|q\\ABC_011300.bin", L"q\\ABC_011300.bin", {}, L"ABC", L"p", L"p"},
        {L"w\\p\\ABC_011400.bin|w\\ABC_011500.bin|ABC_011300.bin", L"\\ABC_011300.bin", {}, L"ABC",
         L"w", L"w"},
        {L"p\\ABC_011400.bin|ABC_011300.bin", L"", {}, L"ABC", L".", L""},
        {L"p\\ABC_011200.bin|q\\ABC_011300.bin", L"q\\ABC_011300.bin", {1, 12, 1, 255}, L"ABC",
         L"p"},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.tree));
        test::TempFolder root;
        for (const std::wstring& file : test::SplitLines<std::wstring>(c.tree, L"|")) {
            Create(root / file);
        }
        ASSERT_TRUE(!*c.writable ||
                    test::RunOnHost(root.Path(), L"chmod o+w " + std::wstring(c.writable)));
        ::DeleteFileW(ServiceLogPath().c_str());
        Bytes bar = c.bar;
        wchar_t path[MAX_PATH];
        const bool found = SearchFromStartFolder(root.Path().c_str(), bar[0], bar[1], bar[2],
                                                 bar[3], path, c.family);
        EXPECT_EQ(found ? path : L"", *c.found ? root / c.found : L"");
        Lines refusals;
        for (const std::wstring& line : test::ReadServiceLogMessages(ServiceLogPath())) {
            if (line.rfind(kRefused, 0) == 0) {
                refusals.push_back(line);
            }
        }
        EXPECT_EQ(refusals,
                  c.refused ? Lines{kRefused + root / c.refused + L", error=1336"} : Lines{});
    }
}

// A capsule whose path would pass the 260 characters of the search's buffers does not compete:
// it is neither cut into another path nor written past a buffer.
TEST_F(CapsuleSearchTest, CapsuleWhosePathPassesTheBufferDoesNotCompete) {
    test::TempFolder root;
    const std::wstring deep = root / std::wstring(MAX_PATH - 8 - root.Path().size(), L'd');
    Create(L"\\\\?\\" + deep + L"\\ABC_011400.bin");
    ASSERT_TRUE(test::FileExists(L"\\\\?\\" + deep + L"\\ABC_011400.bin"));
    Create(root / L"ABC_011300.bin");
    Bytes bar{};
    wchar_t path[MAX_PATH];
    EXPECT_TRUE(
        SearchFromStartFolder(root.Path().c_str(), bar[0], bar[1], bar[2], bar[3], path, L"ABC"));
    EXPECT_EQ(path, root / L"\\ABC_011300.bin");
}

// A folder the service writes to is created, or used only when nobody else may change it.
TEST_F(CapsuleSearchTest, EnsureDirectoryCreatesOrRefusesTheFolder) {
    test::TempFolder root;
    ASSERT_TRUE(test::RunOnHost(root.Path(), L"mkdir open link && chmod o+w open && ln -s link l"));
    const test::CapturingEventReporter events;
    EXPECT_EQ(EnsureDirectory(root / L"new"), 0);
    EXPECT_TRUE(test::FileExists(root / L"new"));
    EXPECT_EQ(EnsureDirectory(root / L"open"), -1);
    EXPECT_EQ(::GetLastError(), 1336u);
    EXPECT_EQ(EnsureDirectory(root / L"l"), -1);
    Lines reported;
    for (const test::RecordedEvent& event : events.Events()) {
        reported.push_back(event.strings.at(0) + L"|" + event.strings.at(1));
    }
    EXPECT_EQ(reported, (Lines{L"EnsureDirectory|1336", L"EnsureDirectory|4395"}));
    EXPECT_TRUE(test::RunOnHost(root.Path(), L"rm l"));  // Wine cannot remove a link
}

// The folder paths are built once, the driver store's when the search first needs it.
TEST_F(CapsuleSearchTest, SearchStartsInTheFolderSearchDriverStoreChooses) {
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring store = windows + std::wstring(L"\\System32\\DriverStore\\FileRepository");
    BuildFirmwareFolderPath();
    EXPECT_EQ(firmwareFolderPath, windows + std::wstring(L"\\Firmware"));
    // Only the family's firmware packages count in the store: not another package, nor its root.
    const std::wstring package = store + L"\\qzx_011300.inf_amd64_0";
    Create(package + L"\\QZX_011300.bin");
    Create(store + L"\\nyx_search\\QZX_019900.bin");
    Create(store + L"\\QZX_019800.bin");
    ::DeleteFileW(ServiceLogPath().c_str());
    Bytes b{};
    wchar_t path[MAX_PATH];
    searchDriverStore = true;
    EXPECT_TRUE(FindNewestCapsule(b[0], b[1], b[2], b[3], path, L"QZX"));
    EXPECT_EQ(path, package + L"\\QZX_011300.bin");
    EXPECT_FALSE(FindNewestCapsule(b[0], b[1], b[2], b[3], path, L"QZX"));  // none above it
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath()),
              (Lines{L"BuildFwPathDIRID13: " + store, L"Starting Path: " + store + L"\\",
                     L"Starting Path: " + store + L"\\"}));
    test::RemoveTree(package);
    test::RemoveTree(store + L"\\nyx_search");
    ::DeleteFileW((store + L"\\QZX_019800.bin").c_str());
}

}  // namespace
