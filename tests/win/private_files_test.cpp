// The access rules of the files the service creates.
#include "win/private_files.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <fstream>

#include "support/test_support.h"

namespace {

// "<sid>:<mask>" for each entry of the descriptor's DACL, and whether it is protected.
std::pair<std::vector<std::wstring>, bool> Entries(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    const win::UniqueHLocal owner(descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    std::vector<std::wstring> entries;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ::GetAce(dacl, i, reinterpret_cast<void**>(&ace));
        wchar_t* sid = nullptr;
        ::ConvertSidToStringSidW(&ace->SidStart, &sid);
        const win::UniqueHLocal sidOwner(sid);
        entries.push_back(std::wstring(sid) + L":" + std::to_wstring(ace->Header.AceType) + L":" +
                          std::to_wstring(ace->Header.AceFlags) + L":" +
                          std::to_wstring(ace->Mask));
    }
    return {entries, (control & SE_DACL_PROTECTED) != 0};
}

TEST(PrivateFilesTest, OnlySystemAndAdministratorsWriteAndUsersReadOnlyWhatTheyMay) {
    const std::wstring full = L":0:0:" + std::to_wstring(FILE_ALL_ACCESS);
    const std::wstring read = L":0:0:" + std::to_wstring(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    using Expected = std::pair<std::vector<std::wstring>, bool>;
    EXPECT_EQ(Entries(win::FileSecurityText(win::FileReaders::kNobody)),
              (Expected{{L"S-1-5-18" + full, L"S-1-5-32-544" + full}, true}));
    EXPECT_EQ(
        Entries(win::FileSecurityText(win::FileReaders::kUsers)),
        (Expected{{L"S-1-5-18" + full, L"S-1-5-32-544" + full, L"S-1-5-32-545" + read}, true}));
}

// A copy over a file that another process holds open, reading and sharing only reading (as any
// user may do with a file he can read): the same bytes are kept and succeed, other bytes fail.
TEST(PrivateFilesTest, AHeldFileBlocksOnlyACopyThatMustChangeIt) {
    const test::TempFolder folder;
    const std::wstring source = folder / L"tool.exe", staged = folder / L"staged.exe";
    const struct {
        const char *label, *staged;  // what the held file holds
        DWORD error;
    } cases[] = {{"the same bytes", "tool v1", ERROR_SUCCESS},
                 {"other bytes", "tool v0", ERROR_SHARING_VIOLATION},
                 {"more bytes", "tool v1+", ERROR_SHARING_VIOLATION}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::ofstream(source.c_str(), std::ios::binary) << "tool v1";
        ::DeleteFileW(staged.c_str());
        std::ofstream(staged.c_str(), std::ios::binary) << c.staged;
        const win::UniqueFileHandle held(::CreateFileW(
            staged.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(win::CopyFileWithReaders(source, staged, win::FileReaders::kNobody, nullptr),
                  c.error);
        EXPECT_EQ(test::ReadFileBytes(staged), c.staged);
    }
    // A copy the service's stop ends leaves nothing behind: a partial copy is no copy.
    const win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    const std::wstring copy = folder / L"new.exe";
    EXPECT_EQ(win::CopyFileWithReaders(source, copy, win::FileReaders::kNobody, stop.Get()), 1235u);
    EXPECT_FALSE(test::FileExists(copy));
}

}  // namespace
