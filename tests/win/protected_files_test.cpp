// Which folders the service may use and which files it replaces rather than writes through.
#include "win/protected_files.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <fstream>
#include <vector>

#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

// The owner and access list of the descriptor |sddl|, which |holder| keeps.
std::pair<PSID, PACL> OwnerAndDacl(const std::wstring& sddl, win::UniqueHLocal& holder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    holder = win::UniqueHLocal(descriptor);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    return {owner, dacl};
}

TEST(ProtectedFilesTest, FolderIsRefusedWhenALinkOwnedByAnotherAccountOrChangeableByOthers) {
    const std::wstring service = L"S-1-5-21-1-2-3-1000", other = L"S-1-5-21-1-2-3-1001",
                       installer =
                           L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY, link = folder | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD others = win::kErrorFolderWritableByOthers;
    const struct {
        const char* name;
        DWORD attributes;
        std::wstring sddl;
        DWORD verdict;
    } cases[] = {
        // clang-format off
        {"owned by SYSTEM", folder, L"O:SYD:(A;OICI;FA;;;SY)", ERROR_SUCCESS},
        {"owned by Administrators, empty list", folder, L"O:BAD:", ERROR_SUCCESS},
        {"owned by TrustedInstaller", folder, L"O:" + installer + L"D:(A;OICI;FA;;;SY)", ERROR_SUCCESS},
        {"owned by the service's account", folder, L"O:" + service + L"D:(A;OICI;FA;;;SY)", ERROR_SUCCESS},
        {"owned by another account", folder, L"O:" + other + L"D:(A;OICI;FA;;;SY)", ERROR_INVALID_OWNER},
        {"owned by Users", folder, L"O:BUD:(A;OICI;FA;;;SY)", ERROR_INVALID_OWNER},
        {"no owner", folder, L"D:(A;OICI;FA;;;SY)", ERROR_INVALID_OWNER},
        {"the owner before the list", folder, L"O:" + other + L"D:(A;;0x2;;;BU)", ERROR_INVALID_OWNER},
        {"a link", link, L"O:SYD:(A;OICI;FA;;;SY)", win::kErrorReparsePointEncountered},
        {"a file", FILE_ATTRIBUTE_NORMAL, L"O:SYD:(A;OICI;FA;;;SY)", ERROR_DIRECTORY},
        {"no list allows everyone everything", folder, L"O:SY", others},
        {"the trusted accounts may do anything", folder,
         L"O:SYD:(A;OICI;FA;;;BA)(A;OICI;GA;;;" + service + L")(A;;FA;;;" + installer + L")", ERROR_SUCCESS},
        {"others may read and run", folder, L"O:SYD:(A;OICI;0x1200a9;;;WD)(A;OICI;GR;;;BU)(A;;GX;;;AU)", ERROR_SUCCESS},
        {"the System32 folder's own list", folder, L"O:" + installer + L"D:PAI(A;;FA;;;" + installer +
         L")(A;CIIO;GA;;;" + installer + L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
         L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)", ERROR_SUCCESS},
        // What others may do to the folder itself.
        {"Users may add files", folder, L"O:SYD:(A;OICI;0x2;;;BU)", others},
        {"Users may add folders", folder, L"O:SYD:(A;;0x4;;;BU)", others},
        {"Users may set its attributes", folder, L"O:SYD:(A;;0x100;;;BU)", others},
        {"Users may set its extended attributes", folder, L"O:SYD:(A;;0x10;;;BU)", others},
        {"Authenticated Users may delete entries", folder, L"O:SYD:(A;;0x40;;;AU)", others},
        {"Everyone may delete it", folder, L"O:SYD:(A;;SD;;;WD)", others},
        {"another account may change its list", folder, L"O:SYD:(A;;WD;;;" + other + L")", others},
        {"Users may take it", folder, L"O:SYD:(A;;WO;;;BU)", others},
        {"Users may write", folder, L"O:SYD:(A;;GW;;;BU)", others},
        {"CREATOR OWNER on the folder itself", folder, L"O:" + service + L"D:(A;;GA;;;CO)", others},
        {"a world-writable Unix folder", folder, L"O:SYD:(A;;0x1301ff;;;WD)", others},
        // What others may do to the files created in it, from entries that only they inherit.
        {"files give Users write", folder, L"O:SYD:(A;OIIO;FW;;;BU)", others},
        {"files give Users their attributes", folder, L"O:SYD:(A;OICIIO;0x100;;;BU)", others},
        {"files give Users full control", folder, L"O:SYD:(A;OIIO;GA;;;BU)", others},
        {"files give Users nothing of a folder's", folder, L"O:SYD:(A;OIIO;0x40;;;BU)", ERROR_SUCCESS},
        {"folders below give Users full control", folder, L"O:SYD:(A;CIIO;GA;;;BU)", ERROR_SUCCESS},
        {"files give their creator full control", folder, L"O:SYD:(A;OICIIO;GA;;;CO)(A;OIIO;FA;;;CG)", ERROR_SUCCESS},
        // Denying entries allow nothing and take nothing away.
        {"Everyone denied", folder, L"O:SYD:(D;;FA;;;WD)", ERROR_SUCCESS},
        {"a denial before an allowance", folder, L"O:SYD:(D;;0x2;;;BU)(A;;0x2;;;BU)", others},
    };  // clang-format on
    PSID serviceSid = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(service.c_str(), &serviceSid));
    const win::UniqueHLocal serviceSidHolder(serviceSid);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        win::UniqueHLocal holder;
        const auto [owner, dacl] = OwnerAndDacl(c.sddl, holder);
        EXPECT_EQ(win::JudgeFolder(c.attributes, owner, dacl, serviceSid), c.verdict);
    }
}

// A capsule the tool reads where it lies is judged on the handle that then holds it: one name
// only, nobody else may change it, and nobody writes it while it is held.
TEST(ProtectedFilesTest, HeldCapsuleHasOneNameAndNobodyChangesIt) {
    const test::TempFolder folder;
    const std::wstring capsule = folder / L"ABC_01130000.bin";
    std::ofstream(capsule.c_str()) << "capsule";
    win::UniqueFileHandle held;
    ASSERT_EQ(win::FolderJudge().HoldFile(capsule, held), DWORD{ERROR_SUCCESS});
    EXPECT_FALSE(win::UniqueFileHandle(
        ::CreateFileW(capsule.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr)));
    ASSERT_TRUE(test::RunOnHost(folder.Path(), L"chmod o+w ABC_01130000.bin"));
    EXPECT_EQ(win::FolderJudge().HoldFile(capsule, held), win::kErrorFolderWritableByOthers);
    ASSERT_TRUE(test::RunOnHost(folder.Path(), L"chmod o-w ABC_01130000.bin"));
    ASSERT_TRUE(::CreateHardLinkW((folder / L"second.bin").c_str(), capsule.c_str(), nullptr));
    EXPECT_EQ(win::FolderJudge().HoldFile(capsule, held), win::kErrorReparsePointEncountered);
    EXPECT_FALSE(held);
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
