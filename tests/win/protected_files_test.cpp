// Which folders the service may use and which files it replaces rather than writes through.
#include "win/protected_files.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <fstream>
#include <vector>

#include "support/test_support.h"

namespace {

PSID Sid(const wchar_t* text) {
    PSID parsed = nullptr;
    ::ConvertStringSidToSidW(text, &parsed);  // freed with the process
    return parsed;
}

struct Ace {
    bool allows;
    BYTE flags;
    ACCESS_MASK mask;
    const wchar_t* sid;
};

// An access list of |aces| in |buffer|; null for a null access list.
PACL MakeAcl(const std::vector<Ace>* aces, std::vector<BYTE>& buffer) {
    if (aces == nullptr) {
        return nullptr;
    }
    buffer.assign(1024, 0);
    const PACL acl = reinterpret_cast<PACL>(buffer.data());
    EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION));
    for (const Ace& ace : *aces) {
        EXPECT_TRUE(
            ace.allows
                ? ::AddAccessAllowedAceEx(acl, ACL_REVISION, ace.flags, ace.mask, Sid(ace.sid))
                : ::AddAccessDeniedAceEx(acl, ACL_REVISION, ace.flags, ace.mask, Sid(ace.sid)));
    }
    return acl;
}

TEST(ProtectedFilesTest, FolderIsRefusedWhenALinkOwnedByAnotherAccountOrChangeableByOthers) {
    const wchar_t service[] = L"S-1-5-21-1-2-3-1000", other[] = L"S-1-5-21-1-2-3-1001",
                  installer[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY, link = folder | FILE_ATTRIBUTE_REPARSE_POINT;
    const BYTE tree = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, below = tree | INHERIT_ONLY_ACE;
    const DWORD others = win::kErrorFolderWritableByOthers;
    const std::vector<Ace> system = {{true, tree, FILE_ALL_ACCESS, L"SY"}};
    const struct {
        DWORD attributes;
        const wchar_t* owner;
        std::vector<Ace> aces;
        DWORD verdict;
        bool nullDacl = false;
    } cases[] = {
        // clang-format off
        {folder, L"SY", system, ERROR_SUCCESS},
        {folder, L"BA", {}, ERROR_SUCCESS},
        {folder, installer, system, ERROR_SUCCESS},
        {folder, service, system, ERROR_SUCCESS},
        {folder, other, system, ERROR_INVALID_OWNER},
        {folder, L"BU", system, ERROR_INVALID_OWNER},
        {folder, nullptr, system, ERROR_INVALID_OWNER},
        {folder, other, {{true, 0, FILE_ADD_FILE, L"BU"}}, ERROR_INVALID_OWNER},
        {link, L"SY", system, win::kErrorReparsePointEncountered},
        {FILE_ATTRIBUTE_NORMAL, L"SY", system, ERROR_DIRECTORY},
        {folder, L"SY", {}, others, true},  // a null access list allows everyone everything
        // Who is allowed what on the folder itself.
        {folder, L"SY", {{true, tree, FILE_ALL_ACCESS, L"BA"}, {true, tree, GENERIC_ALL, service},
                         {true, 0, FILE_ALL_ACCESS, installer}}, ERROR_SUCCESS},
        {folder, L"SY", {{true, tree, 0x1200a9, L"WD"}, {true, tree, GENERIC_READ, L"BU"},
                         {true, 0, GENERIC_EXECUTE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA, L"AU"}},
         ERROR_SUCCESS},
        {folder, L"SY", {{true, tree, FILE_ADD_FILE, L"BU"}}, others},
        {folder, L"SY", {{true, 0, FILE_ADD_SUBDIRECTORY, L"BU"}}, others},
        {folder, L"SY", {{true, 0, FILE_DELETE_CHILD, L"AU"}}, others},
        {folder, L"SY", {{true, 0, DELETE, L"WD"}}, others},
        {folder, L"SY", {{true, 0, WRITE_DAC, other}}, others},
        {folder, L"SY", {{true, 0, WRITE_OWNER, L"BU"}}, others},
        {folder, L"SY", {{true, 0, GENERIC_WRITE, L"BU"}}, others},
        {folder, service, {{true, 0, GENERIC_ALL, L"CO"}}, others},
        {folder, L"SY", {{true, 0, 0x1301ff, L"WD"}}, others},  // a world-writable Unix folder
        // Entries only what is created below inherits, and denying entries, allow nothing here.
        {folder, L"SY", {{true, below, GENERIC_ALL, L"CO"}, {true, below, FILE_ADD_FILE, L"BU"}},
         ERROR_SUCCESS},
        {folder, L"SY", {{false, 0, FILE_ALL_ACCESS, L"WD"}}, ERROR_SUCCESS},
        {folder, L"SY", {{true, below, GENERIC_ALL, L"CO"}, {false, 0, FILE_ADD_FILE, L"BU"},
                         {true, 0, FILE_ADD_FILE, L"BU"}}, others},
    };  // clang-format on
    for (const auto& c : cases) {
        std::vector<BYTE> buffer;
        const PACL dacl = MakeAcl(c.nullDacl ? nullptr : &c.aces, buffer);
        EXPECT_EQ(
            win::JudgeFolder(c.attributes, c.owner ? Sid(c.owner) : nullptr, dacl, Sid(service)),
            c.verdict)
            << &c - cases;
    }
}

TEST(ProtectedFilesTest, FolderChainRunsFromTheWindowsDirectoryOrBelowTheRoot) {
    using Chain = std::vector<std::wstring>;
    // clang-format off
    const std::pair<const wchar_t*, Chain> cases[] = {
        {L"C:\\Windows\\System32\\Firmware", {L"C:\\windows", L"C:\\Windows\\System32", L"C:\\Windows\\System32\\Firmware"}},
        {L"C:\\WINDOWS\\", {L"C:\\windows"}}, {L"C:\\", {}}, {L"a\\b", {}},
        {L"C:\\windows2\\a\\\\b\\", {L"C:\\windows2", L"C:\\windows2\\a", L"C:\\windows2\\a\\\\b"}},
        {L"\\\\?\\C:\\windows\\a", {L"\\\\?\\C:\\windows", L"\\\\?\\C:\\windows\\a"}},
        {L"\\\\host\\share\\a", {L"\\\\host\\share\\a"}}, {L"\\\\?\\UNC\\host\\share\\a", {L"\\\\?\\UNC\\host\\share\\a"}}};
    // clang-format on
    for (const auto& [path, chain] : cases) {
        EXPECT_EQ(win::FolderChain(path, L"C:\\windows\\"), chain) << test::Utf8(path);
    }
}

// Wine reads a folder's owner and access list from the Unix file: owner and full control for the
// prefix's user (the account the tests run as) and SYSTEM, and Everyone as "others" may.
TEST(ProtectedFilesTest, CheckFolderJudgesTheFolderAndEveryFolderAbove) {
    test::TempFolder root;
    for (const wchar_t* name : {L"open", L"open\\inner", L"plain", L"plain\\inner"}) {
        ASSERT_TRUE(::CreateDirectoryW((root / name).c_str(), nullptr));
    }
    std::ofstream((root / L"file").c_str()) << "";
    ASSERT_TRUE(test::RunOnHost(root.Path(), L"chmod o+w open && ln -s plain link"));
    const struct {
        std::wstring path;
        DWORD verdict;
    } cases[] = {
        {L"C:\\windows", ERROR_SUCCESS},
        {root.Path(), ERROR_SUCCESS},
        {root / L"plain\\inner", ERROR_SUCCESS},
        {root / L"open", win::kErrorFolderWritableByOthers},
        {root / L"open\\inner", win::kErrorFolderWritableByOthers},
        {root / L"link", win::kErrorReparsePointEncountered},
        {root / L"link\\inner", win::kErrorReparsePointEncountered},
        {root / L"file", ERROR_DIRECTORY},
        {root / L"missing", ERROR_FILE_NOT_FOUND},
        {root / L"missing\\inner", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::CheckFolder(c.path), c.verdict) << test::Utf8(c.path);
    }
    EXPECT_TRUE(test::RunOnHost(root.Path(), L"rm link"));  // Wine cannot remove a link
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
