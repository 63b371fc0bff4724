// Which folders the service may use and which files it replaces rather than writes through.
#include "win/protected_files.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <fstream>

#include "support/test_support.h"

namespace {

TEST(ProtectedFilesTest, FolderIsRefusedWhenALinkOrOwnedByAnotherAccount) {
    const auto sid = [](const wchar_t* text) {
        PSID parsed = nullptr;
        ::ConvertStringSidToSidW(text, &parsed);  // freed with the process
        return parsed;
    };
    const PSID service = sid(L"S-1-5-21-1-2-3-1000"), other = sid(L"S-1-5-21-1-2-3-1001");
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY, link = folder | FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        DWORD attributes;
        PSID owner;
        DWORD verdict;
    } cases[] = {
        {folder, sid(L"SY"), ERROR_SUCCESS},
        {folder, sid(L"BA"), ERROR_SUCCESS},
        {folder, sid(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"), 0},
        {folder, service, ERROR_SUCCESS},
        {folder, other, ERROR_INVALID_OWNER},
        {folder, sid(L"BU"), ERROR_INVALID_OWNER},
        {folder, nullptr, ERROR_INVALID_OWNER},
        {link, sid(L"SY"), win::kErrorReparsePointEncountered},
        {FILE_ATTRIBUTE_NORMAL, sid(L"SY"), ERROR_DIRECTORY},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::JudgeFolder(c.attributes, c.owner, service), c.verdict) << &c - cases;
    }
    EXPECT_EQ(win::CheckFolder(L"C:\\windows"), DWORD{ERROR_SUCCESS});  // owned by this account
}

TEST(ProtectedFilesTest, LinkedFileNameIsRemovedAndWhatItLeadsToKept) {
    EXPECT_TRUE(win::IsLinkedFile(FILE_ATTRIBUTE_REPARSE_POINT, 1));
    EXPECT_TRUE(win::IsLinkedFile(FILE_ATTRIBUTE_NORMAL, 2));
    EXPECT_FALSE(win::IsLinkedFile(FILE_ATTRIBUTE_NORMAL, 1));
    test::TempFolder folder;
    const std::wstring target = folder / L"target", name = folder / L"name";
    std::ofstream(target.c_str()) << "keep";
    ASSERT_TRUE(::CreateHardLinkW(name.c_str(), target.c_str(), nullptr));
    EXPECT_TRUE(win::UnlinkFile(name) && !test::FileExists(name));
    EXPECT_EQ(test::ReadFileBytes(target), "keep");
    EXPECT_TRUE(win::UnlinkFile(target) && win::UnlinkFile(name));  // plain, and missing
    EXPECT_EQ(test::ReadFileBytes(target), "keep");
    EXPECT_TRUE(win::RemoveFolderTree(folder.Path()) && !test::FileExists(target));
}

}  // namespace
