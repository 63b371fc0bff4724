// The capsule search over real folder trees built by the tests, and the two well-known
// folders of the test prefix.
#include "capsule/capsule_search.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "records/service_log.h"
#include "support/test_support.h"

namespace {

using Bytes = std::array<unsigned, 4>;

struct SearchResult {
    bool found = false;
    std::wstring path;
    Bytes bytes{};
};

// Creates every folder on the way to the absolute |path|, and the file itself unless the
// path ends in a backslash.
void CreatePath(const std::wstring& path) {
    for (size_t separator = path.find(L'\\', 3); separator != std::wstring::npos;
         separator = path.find(L'\\', separator + 1)) {
        ::CreateDirectoryW(path.substr(0, separator).c_str(), nullptr);
    }
    if (!path.empty() && path.back() != L'\\') {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << path.c_str();
        ::CloseHandle(file);
    }
}

void Create(const std::wstring& root, const std::wstring& relative) {
    CreatePath(root + L"\\" + relative);
}

void CreateTree(const std::wstring& root, const std::vector<std::wstring>& entries) {
    for (const std::wstring& entry : entries) {
        Create(root, entry);
    }
}

// Searches from |folder| as FindNewestCapsule does once it has chosen its start folder.
SearchResult Search(const std::wstring& folder, const std::wstring& family,
                    Bytes bar = {0, 0, 0, 0}) {
    BYTE b[4] = {static_cast<BYTE>(bar[0]), static_cast<BYTE>(bar[1]), static_cast<BYTE>(bar[2]),
                 static_cast<BYTE>(bar[3])};
    wchar_t path[MAX_PATH + 8];
    std::fill(std::begin(path), std::end(path), L'#');
    SearchResult result;
    result.found = SearchFromStartFolder(folder.c_str(), b[0], b[1], b[2], b[3], path, family);
    for (size_t i = MAX_PATH; i < sizeof(path) / sizeof(path[0]); ++i) {
        EXPECT_EQ(path[i], L'#') << "written past the 260-character result buffer";
    }
    result.bytes = {b[0], b[1], b[2], b[3]};
    if (result.found) {
        result.path = path;
    }
    return result;
}

// The names of |folder|'s sub-folders in the order the file system enumerates them.
std::vector<std::wstring> EnumerationOrder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

TEST(CapsuleSearchTest, NewestCapsuleOfTheFamilyInATree) {
    struct Case {
        const char* what;
        std::vector<std::wstring> tree;
        std::wstring family;
        Bytes bar;
        bool found;
        std::wstring expected;  // below the start folder; "\\" + name for the start folder
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty tree", {}, L"ABC", {0, 0, 0, 0}, false, L"", {0, 0, 0, 0}},
        {"empty package folders",
         {L"pkg1\\", L"pkg2\\sub\\"},
         L"ABC",
         {0, 0, 0, 0},
         false,
         L"",
         {0, 0, 0, 0}},
        {"no family match",
         {L"pkg\\XYZ_011300.bin", L"pkg\\ABC_011300.txt", L"pkg\\ABC-011300.bin",
          L"pkg\\ABC_011300.inf", L"pkg\\ZABC_011300.bin"},
         L"ABC",
         {0, 0, 0, 0},
         false,
         L"",
         {0, 0, 0, 0}},
        {"start folder beside an older package capsule",
         {L"ABC_011300.bin", L"pkg\\ABC_011200.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"\\ABC_011300.bin",
         {1, 13, 0, 255}},
        {"package capsule newer than the start folder's",
         {L"ABC_011200.bin", L"pkg\\ABC_011300.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_011300.bin",
         {1, 13, 0, 255}},
        {"six digits beat eight with the same start",
         {L"pkg\\ABC_01020304.bin", L"pkg\\ABC_010203.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_010203.bin",
         {1, 2, 3, 255}},
        {"six digits beat eight in another folder",
         {L"a\\ABC_010203.bin", L"b\\ABC_01020304.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"a\\ABC_010203.bin",
         {1, 2, 3, 255}},
        {"higher of two",
         {L"pkg\\ABC_011201.bin", L"pkg\\ABC_011200.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_011201.bin",
         {1, 12, 1, 255}},
        {"higher of two, other order",
         {L"p\\ABC_011200.bin", L"q\\ABC_011201.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"q\\ABC_011201.bin",
         {1, 12, 1, 255}},
        {"bar above every capsule",
         {L"pkg\\ABC_011300.bin", L"ABC_011200.bin"},
         L"ABC",
         {1, 13, 0, 255},
         false,
         L"",
         {1, 13, 0, 255}},
        {"bar between two capsules",
         {L"pkg\\ABC_011300.bin", L"q\\ABC_011201.bin"},
         L"ABC",
         {1, 12, 1, 255},
         true,
         L"pkg\\ABC_011300.bin",
         {1, 13, 0, 255}},
        {"eight digits and a suffix",
         {L"pkg\\ABC_01130005_signed.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_01130005_signed.bin",
         {1, 13, 0, 5}},
        {"deeply nested",
         {L"pkg\\a\\b\\c\\d\\ABC_011500.bin", L"pkg\\ABC_011400.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\a\\b\\c\\d\\ABC_011500.bin",
         {1, 15, 0, 255}},
        {"sub-folder's capsule beats an equal one beside it",
         {L"pkg\\ABC_011400.bin", L"pkg\\sub\\ABC_011400.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\sub\\ABC_011400.bin",
         {1, 14, 0, 255}},
        {"file beats an older sub-folder capsule",
         {L"pkg\\ABC_011401.bin", L"pkg\\sub\\ABC_011400.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_011401.bin",
         {1, 14, 1, 255}},
        {"non-digit groups compete as 255",
         {L"pkg\\ABC_01xx00.bin", L"pkg\\ABC_019900.bin"},
         L"ABC",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABC_01xx00.bin",
         {1, 255, 0, 255}},
        {"two-letter family is blank-padded",
         {L"pkg\\ AB_011300.bin", L"pkg\\AB_011400.bin", L"pkg\\XAB_011500.bin"},
         L"AB",
         {0, 0, 0, 0},
         true,
         L"pkg\\ AB_011300.bin",
         {1, 13, 0, 255}},
        // The name is read as if its family had three letters: "_0", "11", "30", "0.".
        {"four-letter family is used whole",
         {L"pkg\\ABCD_011300.bin", L"pkg\\BCD_011400.bin"},
         L"ABCD",
         {0, 0, 0, 0},
         true,
         L"pkg\\ABCD_011300.bin",
         {255, 11, 30, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempFolder root;
        CreateTree(root.Path(), c.tree);
        const SearchResult result = Search(root.Path(), c.family, c.bar);
        EXPECT_EQ(result.found, c.found);
        EXPECT_EQ(result.bytes, c.bytes);
        if (c.found) {
            // The start path ends in a backslash, so a capsule of the start folder itself
            // carries two; deeper ones carry one.
            EXPECT_EQ(result.path, root.Path() + L"\\" + c.expected);
        }
    }
}

TEST(CapsuleSearchTest, EqualVersionsInTwoPackagesGiveTheOneEnumeratedFirst) {
    test::TempFolder root;
    CreateTree(root.Path(),
               {L"abc_a.inf_amd64_1\\ABC_011300.bin", L"abc_b.inf_amd64_2\\ABC_011300.bin",
                L"abc_c.inf_amd64_3\\ABC_011300.bin"});
    const std::vector<std::wstring> order = EnumerationOrder(root.Path());
    ASSERT_EQ(order.size(), 3u);
    const SearchResult result = Search(root.Path(), L"ABC");
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.path, root.Path() + L"\\" + order.front() + L"\\ABC_011300.bin");
}

TEST(CapsuleSearchTest, FamilyMatchIgnoresLetterCaseAsTheFileSystemDoes) {
    test::TempFolder root;
    CreateTree(root.Path(), {L"pkg\\abc_011300.bin"});
    const SearchResult result = Search(root.Path(), L"ABC");
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.path, root.Path() + L"\\pkg\\abc_011300.bin");
}

TEST(CapsuleSearchTest, MissingOrEmptyStartFolderSearchesNothing) {
    test::TempFolder root;
    EXPECT_FALSE(Search(root / L"missing", L"ABC").found);

    // With an empty folder the start path would be the root of the current drive: a capsule
    // there must not be found.
    // The current folder is on the prefix's drive C: for this check, not on the drive that
    // maps the host's whole file system.
    wchar_t previous[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(root.Path().c_str()));
    const std::wstring rootCapsule = root.Path().substr(0, 2) + L"\\QZX_011300.bin";
    CreatePath(rootCapsule);
    const bool created = test::FileExists(rootCapsule);
    ::DeleteFileW(ServiceLogPath);
    const SearchResult result = Search(L"", L"QZX");
    ::DeleteFileW(rootCapsule.c_str());
    ::SetCurrentDirectoryW(previous);
    ASSERT_TRUE(created) << rootCapsule.c_str();
    EXPECT_FALSE(result.found);
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
              std::vector<std::wstring>{L"Starting Path: \\"});

    BYTE b[4] = {0, 0, 0, 0};
    wchar_t path[MAX_PATH];
    EXPECT_FALSE(SearchFolderForCapsule(L"", b[0], b[1], b[2], b[3], path, L"QZX"));
    EXPECT_FALSE(SearchFolderForCapsule(nullptr, b[0], b[1], b[2], b[3], path, L"QZX"));
}

// |base| lengthened by folder names to exactly |length| characters.
std::wstring PadTo(const std::wstring& base, size_t length) {
    std::wstring path = base;
    while (path.size() < length) {
        const size_t remaining = length - path.size();
        const size_t part = remaining > 102 ? 100 : remaining - 1;
        if (part == 0) {
            ADD_FAILURE() << "cannot lengthen a path by one character";
            break;
        }
        path += L"\\" + std::wstring(part, L'd');
    }
    return path;
}

TEST(CapsuleSearchTest, PathsThatWouldExceed260CharactersAreSkipped) {
    test::TempFolder root;
    // A capsule whose full path would be longer than 259 characters is skipped; the older one
    // with a short name is found instead.
    const std::wstring deep = PadTo(root.Path(), 200);
    const std::wstring longName = L"ABC_011500" + std::wstring(60, L'z') + L".bin";
    CreatePath(deep + L"\\" + longName);
    CreatePath(deep + L"\\ABC_011400.bin");
    ASSERT_TRUE(test::FileExists(deep + L"\\" + longName));
    SearchResult result = Search(root.Path(), L"ABC");
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.path, deep + L"\\ABC_011400.bin");
    EXPECT_EQ(result.bytes, (Bytes{1, 14, 0, 255}));

    // A folder whose capsule pattern would not fit contributes no files, though its
    // "*.*" pattern fits and its sub-folders are still listed.
    test::TempFolder second;
    const std::wstring parent = PadTo(second.Path(), 230);
    const std::wstring full = parent + L"\\" + std::wstring(17, L'e');  // 248 characters
    CreatePath(full + L"\\ABC_011600.bin");                             // pattern of 264 characters
    CreatePath(full + L"\\s\\ABC_011300.bin");                          // pattern of 266 characters
    CreatePath(parent + L"\\ABC_011100.bin");                           // pattern of 246 characters
    ASSERT_TRUE(test::FileExists(full + L"\\ABC_011600.bin"));
    result = Search(second.Path(), L"ABC");
    ASSERT_TRUE(result.found);
    EXPECT_EQ(result.path, parent + L"\\ABC_011100.bin");

    // A sub-folder whose own path would not fit is not entered.
    test::TempFolder third;
    const std::wstring edge = PadTo(third.Path(), 250);
    CreatePath(edge + L"\\" + std::wstring(20, L'n') + L"\\ABC_011700.bin");
    result = Search(third.Path(), L"ABC");
    EXPECT_FALSE(result.found);

    // A start folder of 259 characters has no room for its backslash.
    EXPECT_FALSE(Search(PadTo(third.Path(), 259), L"ABC").found);
}

class WellKnownFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t windows[MAX_PATH];
        ASSERT_GT(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
        windows_ = windows;
        store_ = windows_ + L"\\System32\\DriverStore\\FileRepository";
        firmware_ = windows_ + L"\\Firmware";
        ::CreateDirectoryW(firmware_.c_str(), nullptr);
        ::DeleteFileW(ServiceLogPath);
    }
    void TearDown() override {
        for (const std::wstring& path : created_) {
            test::RemoveTree(path);
            ::DeleteFileW(path.c_str());
        }
        searchDriverStore = false;
    }
    // Creates |relative| below |folder| and removes it at the end.
    void Place(const std::wstring& folder, const std::wstring& relative) {
        Create(folder, relative);
        created_.push_back(folder + L"\\" + relative.substr(0, relative.find(L'\\')));
    }

    std::wstring windows_, store_, firmware_;
    std::vector<std::wstring> created_;
};

TEST_F(WellKnownFoldersTest, PathsAreBuiltOnceFromTheWindowsDirectory) {
    EXPECT_STREQ(GetFirmwareFolderPath(), firmware_.c_str());
    EXPECT_EQ(GetFirmwareFolderPath(), firmwareFolderPath);
    BuildFirmwareFolderPath();
    EXPECT_STREQ(firmwareFolderPath, firmware_.c_str());

    BuildFwPathDIRID13();
    BuildFwPathDIRID13();
    EXPECT_STREQ(driverStorePath, store_.c_str());
    EXPECT_STREQ(windowsDirectory, windows_.c_str());
    const std::wstring line = L"BuildFwPathDIRID13: " + store_;
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
              (std::vector<std::wstring>{line, line}));
}

TEST_F(WellKnownFoldersTest, SearchStartsWhereSearchDriverStoreSays) {
    Place(store_, L"abc_01130000.inf_amd64_t1\\ABC_011300.bin");
    Place(store_, L"ABC_011200.bin");
    Place(firmware_, L"ABC_011100.bin");
    Place(firmware_, L"nyx_test_pkg\\ABC_011000.bin");

    BYTE b1 = 0, b2 = 0, b3 = 0, b4 = 0;
    wchar_t path[MAX_PATH];
    searchDriverStore = true;
    ASSERT_TRUE(FindNewestCapsule(b1, b2, b3, b4, path, L"ABC"));
    EXPECT_EQ(std::wstring(path), store_ + L"\\abc_01130000.inf_amd64_t1\\ABC_011300.bin");
    EXPECT_EQ((Bytes{b1, b2, b3, b4}), (Bytes{1, 13, 0, 255}));

    searchDriverStore = false;
    b1 = b2 = b3 = b4 = 0;
    ASSERT_TRUE(FindNewestCapsule(b1, b2, b3, b4, path, L"ABC"));
    // Directly in the start folder: two backslashes before the name.
    EXPECT_EQ(std::wstring(path), firmware_ + L"\\\\ABC_011100.bin");
    EXPECT_EQ((Bytes{b1, b2, b3, b4}), (Bytes{1, 11, 0, 255}));

    // The found path is usable as it stands.
    EXPECT_TRUE(test::FileExists(path));

    const std::vector<std::wstring> messages = test::ReadServiceLogMessages(ServiceLogPath);
    const std::vector<std::wstring> expected = {L"Starting Path: " + store_ + L"\\",
                                                L"Starting Path: " + firmware_ + L"\\"};
    // A driver-store path built earlier in this process adds no line; a first build adds one.
    std::vector<std::wstring> starts;
    for (const std::wstring& message : messages) {
        if (message.rfind(L"Starting Path: ", 0) == 0) {
            starts.push_back(message);
        } else {
            EXPECT_EQ(message, L"BuildFwPathDIRID13: " + store_);
        }
    }
    EXPECT_EQ(starts, expected);

    // No capsule above the bar: false, the bar untouched.
    b1 = 1, b2 = 13, b3 = 0, b4 = 255;
    searchDriverStore = true;
    EXPECT_FALSE(FindNewestCapsule(b1, b2, b3, b4, path, L"ABC"));
    EXPECT_EQ((Bytes{b1, b2, b3, b4}), (Bytes{1, 13, 0, 255}));
}

}  // namespace
