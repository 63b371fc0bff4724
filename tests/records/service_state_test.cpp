// The service's registry state, against the real registry of the test prefix.
#include "records/service_state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace {

const char kScratchKey[] = "Software\\QvNyxServiceStateTest";
const wchar_t kScratchKeyWide[] = L"Software\\QvNyxServiceStateTest";
const wchar_t kServiceKeyWide[] = L"SYSTEM\\CurrentControlSet\\Services\\QvNyxService";

struct RawValue {
    bool exists = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, path, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
        return false;
    }
    win::UniqueRegKey key(raw);
    return true;
}

// Stores a value of any type and size, creating the key, bypassing the code under test.
void SetRaw(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data,
            DWORD size) {
    HKEY raw = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    win::UniqueRegKey key(raw);
    ASSERT_EQ(::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
}

RawValue GetRaw(HKEY root, const wchar_t* path, const wchar_t* name) {
    RawValue value;
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, path, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
        return value;
    }
    win::UniqueRegKey key(raw);
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return value;
    }
    value.bytes.resize(size);
    value.exists = ::RegQueryValueExW(key.Get(), name, nullptr, &value.type,
                                      value.bytes.empty() ? nullptr : value.bytes.data(),
                                      &size) == ERROR_SUCCESS;
    value.bytes.resize(size);
    return value;
}

std::vector<BYTE> Utf16Bytes(const std::wstring& text) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(begin, begin + text.size() * sizeof(wchar_t));
}

class ServiceStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKeyWide);
        // The test prefix holds no installed service while these tests run (they are
        // serialised with every test that installs one), so the key is this test's alone.
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKeyWide);
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKeyWide);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKeyWide);
    }
};

TEST_F(ServiceStateTest, MissingKeyReadsKeepPresetsAndFirstWriteCreatesIt) {
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kServiceKeyWide));

    DWORD status = 2;
    ::SetLastError(12345);
    EXPECT_FALSE(ReadServiceDword(kUpgradeStatusValueName, &status));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(status, 2u);

    std::wstring lastBinFile = L"preset";
    ::SetLastError(12345);
    EXPECT_FALSE(ReadServiceString(kLastBinFileValueName, lastBinFile));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(lastBinFile, L"preset");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kServiceKeyWide)) << "reads never create the key";

    EXPECT_TRUE(WriteServiceDword(kUpgradeStatusValueName, 0));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kServiceKeyWide));
    EXPECT_TRUE(ReadServiceDword(kUpgradeStatusValueName, &status));
    EXPECT_EQ(status, 0u);

    // The key exists but the value does not: still a read failure with error 2.
    lastBinFile = L"preset";
    ::SetLastError(12345);
    EXPECT_FALSE(ReadServiceString(kLastBinFileValueName, lastBinFile));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(lastBinFile, L"preset");

    // The string writer creates the key too.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKeyWide);
    EXPECT_TRUE(WriteServiceString(kLastBinFileValueName, L"C:\\x\\ABC_01130000.bin"));
    EXPECT_TRUE(ReadServiceString(kLastBinFileValueName, lastBinFile));
    EXPECT_STREQ(lastBinFile.c_str(), L"C:\\x\\ABC_01130000.bin");
}

TEST_F(ServiceStateTest, DwordsRoundTripOnTheServiceKey) {
    for (const DWORD value : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(WriteServiceDword(kUpgradeStatusValueName, value));
        const RawValue raw = GetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, L"UpgradeStatus");
        EXPECT_EQ(raw.type, static_cast<DWORD>(REG_DWORD));
        ASSERT_EQ(raw.bytes.size(), sizeof(DWORD));
        DWORD read = 99;
        EXPECT_TRUE(ReadServiceDword(kUpgradeStatusValueName, &read));
        EXPECT_EQ(read, value);
    }
}

TEST_F(ServiceStateTest, ValueOfTheWrongTypeReadsAsMissingAndKeepsThePreset) {
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> bytes;
    };
    const DWORD one = 1;
    const std::vector<BYTE> dwordBytes(reinterpret_cast<const BYTE*>(&one),
                                       reinterpret_cast<const BYTE*>(&one) + sizeof(one));
    const Case dwordCases[] = {
        {L"UpgradeStatus", REG_SZ, Utf16Bytes(std::wstring(L"1", 2))},  // 4 bytes, like a DWORD
        {L"UpgradeStatus", REG_SZ, Utf16Bytes(std::wstring(L"three", 6))},
        {L"UpgradeStatus", REG_BINARY, dwordBytes},
        {L"UpgradeStatus", REG_DWORD, {1, 0}},  // a DWORD of two bytes
        {L"UpgradeStatus", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : dwordCases) {
        SetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, c.name, c.type, c.bytes.data(),
               static_cast<DWORD>(c.bytes.size()));
        DWORD status = 3;
        ::SetLastError(12345);
        EXPECT_FALSE(ReadServiceDword(kUpgradeStatusValueName, &status)) << c.type;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE)) << c.type;
        EXPECT_EQ(status, 3u) << c.type;
    }

    const std::wstring expandable(L"%WINDIR%\\x.bin", 15);
    const Case stringCases[] = {
        {L"LastBinFile", REG_DWORD, dwordBytes},
        {L"LastBinFile", REG_EXPAND_SZ, Utf16Bytes(expandable)},
        {L"LastBinFile", REG_MULTI_SZ, Utf16Bytes(std::wstring(L"a\0b\0", 5))},
        {L"LastBinFile", REG_BINARY, Utf16Bytes(std::wstring(L"C:\\x.bin", 9))},
    };
    for (const Case& c : stringCases) {
        SetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, c.name, c.type, c.bytes.data(),
               static_cast<DWORD>(c.bytes.size()));
        std::wstring lastBinFile = L"preset";
        ::SetLastError(12345);
        EXPECT_FALSE(ReadServiceString(kLastBinFileValueName, lastBinFile)) << c.type;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_UNSUPPORTED_TYPE)) << c.type;
        EXPECT_EQ(lastBinFile, L"preset") << c.type;
    }
}

TEST_F(ServiceStateTest, StringsAreStoredWithOneTerminatorAndReadWithTrailingZeros) {
    struct Case {
        std::wstring written;
        std::wstring text;  // what is stored, without its terminator
    };
    const Case cases[] = {
        {L"", L""},
        {L"C:\\Windows\\Firmware\\abc_01130000.bin", L"C:\\Windows\\Firmware\\abc_01130000.bin"},
        {L"\x00e9t\x00e9 \x20ac", L"\x00e9t\x00e9 \x20ac"},
        // A text read back earlier carries zeros behind it; only the text is stored again.
        {std::wstring(L"C:\\a.bin\0\0", 10), L"C:\\a.bin"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteServiceString(kLastBinFileValueName, c.written));
        const RawValue raw = GetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, L"LastBinFile");
        EXPECT_EQ(raw.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(raw.bytes, Utf16Bytes(c.text + L'\0')) << c.text.c_str();

        std::wstring read = L"preset";
        ASSERT_TRUE(ReadServiceString(kLastBinFileValueName, read));
        // n stored bytes read as n / 2 + 1 characters: the text, its zero and one more.
        EXPECT_EQ(read.size(), c.text.size() + 2) << c.text.c_str();
        EXPECT_EQ(read, c.text + std::wstring(2, L'\0'));
        EXPECT_STREQ(read.c_str(), c.text.c_str());
    }
}

TEST_F(ServiceStateTest, StringStoredWithoutTerminatorStillReadsTerminated) {
    const std::wstring text = L"C:\\x\\ABC_011300.bin";
    SetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, L"LastBinFile", REG_SZ, text.data(),
           static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    std::wstring read;
    ASSERT_TRUE(ReadServiceString(kLastBinFileValueName, read));
    EXPECT_STREQ(read.c_str(), text.c_str());
    ASSERT_GT(read.size(), text.size());
    EXPECT_EQ(read.back(), L'\0');
}

TEST_F(ServiceStateTest, GeneralFunctionsWorkOnAnyKeyAndNeverCreateOne) {
    // Writers do not create a missing sub-key.
    ::SetLastError(12345);
    EXPECT_FALSE(RegWriteDword(HKEY_CURRENT_USER, kScratchKey, "Value", 1));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::SetLastError(12345);
    EXPECT_FALSE(RegWriteString(HKEY_CURRENT_USER, kScratchKey, "Text", L"x"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kScratchKeyWide));

    SetRaw(HKEY_CURRENT_USER, kScratchKeyWide, L"Other", REG_DWORD, "\0\0\0\0", 4);
    EXPECT_TRUE(RegWriteDword(HKEY_CURRENT_USER, kScratchKey, "Value", 42));
    // A UTF-8 value name reaches the registry as the wide name.
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, kScratchKey, "Caf\xC3\xA9", L"beans"));
    const RawValue stored = GetRaw(HKEY_CURRENT_USER, kScratchKeyWide, L"Caf\x00e9");
    EXPECT_TRUE(stored.exists);
    EXPECT_EQ(stored.bytes, Utf16Bytes(std::wstring(L"beans", 6)));

    // A null sub-key means the root key itself.
    HKEY raw = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kScratchKeyWide, 0, KEY_ALL_ACCESS, &raw),
              ERROR_SUCCESS);
    win::UniqueRegKey key(raw);
    DWORD value = 0;
    EXPECT_TRUE(RegReadDword(key.Get(), nullptr, "Value", &value));
    EXPECT_EQ(value, 42u);
    std::wstring text;
    EXPECT_TRUE(RegReadString(key.Get(), nullptr, "Caf\xC3\xA9", text));
    EXPECT_STREQ(text.c_str(), L"beans");
    EXPECT_TRUE(RegWriteDword(key.Get(), nullptr, "Direct", 7));
    EXPECT_TRUE(RegReadDword(HKEY_CURRENT_USER, kScratchKey, "Direct", &value));
    EXPECT_EQ(value, 7u);

    // A missing value under an existing key keeps the output.
    value = 5;
    ::SetLastError(12345);
    EXPECT_FALSE(RegReadDword(key.Get(), nullptr, "Missing", &value));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, 5u);
}

}  // namespace

namespace {

TEST_F(ServiceStateTest, DeletingAValueLeavesTheOthersAndToleratesAMissingOne) {
    EXPECT_FALSE(DeleteServiceValue(kLastBinFileValueName));  // no key yet
    ASSERT_TRUE(WriteServiceString(kLastBinFileValueName, L"C:\\fw\\ABC_01130000.bin"));
    ASSERT_TRUE(WriteServiceDword(kUpgradeStatusValueName, 1));

    EXPECT_TRUE(DeleteServiceValue(kLastBinFileValueName));
    EXPECT_FALSE(GetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, L"LastBinFile").exists);
    EXPECT_TRUE(GetRaw(HKEY_LOCAL_MACHINE, kServiceKeyWide, L"UpgradeStatus").exists);
    EXPECT_TRUE(DeleteServiceValue(kLastBinFileValueName));  // already gone
}

TEST_F(ServiceStateTest, KeyWriteTimeFollowsTheLastWrite) {
    FILETIME written{};
    EXPECT_FALSE(ReadServiceKeyWriteTime(&written));  // no key yet

    FILETIME before;
    ::GetSystemTimeAsFileTime(&before);
    ASSERT_TRUE(WriteServiceDword(kUpgradeStatusValueName, 1));
    ASSERT_TRUE(ReadServiceKeyWriteTime(&written));
    FILETIME after;
    ::GetSystemTimeAsFileTime(&after);
    // The registry's clock may be coarser than the system's: allow one second either side.
    ULARGE_INTEGER low{}, value{}, high{};
    low.LowPart = before.dwLowDateTime;
    low.HighPart = before.dwHighDateTime;
    value.LowPart = written.dwLowDateTime;
    value.HighPart = written.dwHighDateTime;
    high.LowPart = after.dwLowDateTime;
    high.HighPart = after.dwHighDateTime;
    EXPECT_GE(value.QuadPart + 10000000ull, low.QuadPart);
    EXPECT_LE(value.QuadPart, high.QuadPart + 10000000ull);
}

}  // namespace
