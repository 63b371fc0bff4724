// The service log, the event reports and the service's registry values, in the test prefix.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstring>
#include <fstream>
#include <regex>
#include <tuple>
#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "support/test_support.h"

namespace {
using namespace std::string_literals;
using Event = std::tuple<WORD, DWORD, std::vector<std::wstring>>;
constexpr WORD kInfo = EVENTLOG_INFORMATION_TYPE;
constexpr WORD kError = EVENTLOG_ERROR_TYPE;

TEST(ServiceLogTest, AppendsLocalTimeStampedUtf16LinesAndCreatesTheFolder) {
    // The paths follow the system directory wherever Windows lives.
    EXPECT_EQ(ServiceLogPathIn(L"D:\\WINNT\\system32"),
              L"D:\\WINNT\\system32\\Firmware\\NyxService.log");
    EXPECT_EQ(StagingFolderIn(L"") + ServiceLogPathIn(L""), L"");
    EXPECT_EQ(ServiceLogPath(), L"C:\\windows\\system32\\Firmware\\NyxService.log");
    test::RemoveTree(StagingFolderIn(SystemDirectory()));
    Log(L"first");
    Log(L"\x00e9t\x00e9 \x20ac");
    const std::string bytes = test::ReadFileBytes(ServiceLogPath());
    std::wstring text(bytes.size() / 2, L'\0');  // UTF-16LE, as on every Windows machine
    std::memcpy(&text[0], bytes.data(), text.size() * 2);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[64];  // today's date, any time of day
    std::swprintf(stamp, 64, L"\\[%04d-%02d-%02d \\d\\d:\\d\\d:\\d\\d\\] ", now.wYear, now.wMonth,
                  now.wDay);
    const std::wstring lines = stamp + L"first\r\n"s + stamp + L"\x00e9t\x00e9 \x20ac\r\n";
    EXPECT_TRUE(std::regex_match(text, std::wregex(L"\xFEFF" + lines))) << test::Utf8(text);
}

// Seven lines of 599186 bytes fill the log to 4 MiB exactly after its byte-order mark; the second
// row's lines, 2 bytes longer, cross it at the seventh only when each inner line end counts two
// characters. A link planted at the previous log's name is replaced, never written through.
TEST(ServiceLogTest, LineThatWouldTakeTheLogPast4MiBMovesItToThePreviousLogAndStartsANewOne) {
    const std::wstring previous = PreviousLogPath(ServiceLogPath());
    EXPECT_EQ(previous, L"C:\\windows\\system32\\Firmware\\NyxService.old.log");
    EXPECT_EQ(PreviousLogPath(L"a.b\\log"), L"a.b\\log.old");
    const std::wstring folder = StagingFolderIn(SystemDirectory()), kept = folder + L"\\kept";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const struct {
        const char* name;
        size_t fill, breaks;  // a message: |fill| x, |breaks| line ends, the line's number
        size_t previousBytes, logBytes;
        wchar_t previousLast;
    } cases[] = {
        {"a line that fills the log exactly stays in it", 299568, 0, 4194304, 599188, L'7'},
        {"a line end inside a message takes two characters", 299553, 8, 3595130, 1198378, L'6'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteOldLogFile();
        std::ofstream(kept.c_str()) << "keep";
        ASSERT_TRUE(::CreateHardLinkW(previous.c_str(), kept.c_str(), nullptr));
        for (wchar_t line = L'1'; line <= L'8'; ++line) {
            Log(std::wstring(c.fill, L'x') + std::wstring(c.breaks, L'\n') + line);
            EXPECT_LE(test::ReadFileBytes(ServiceLogPath()).size(), 4194304u) << char(line);
        }
        ASSERT_EQ(test::ReadFileBytes(previous).size(), c.previousBytes);
        ASSERT_EQ(test::ReadFileBytes(ServiceLogPath()).size(), c.logBytes);
        EXPECT_EQ(test::ReadServiceLogMessages(previous).back().back(), c.previousLast);
        EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath()).back().back(), L'8');
        EXPECT_EQ(test::ReadFileBytes(kept), "keep");
        ::DeleteFileW(kept.c_str());
        DeleteOldLogFile();  // a new update removes both logs
        EXPECT_FALSE(test::FileExists(ServiceLogPath()) || test::FileExists(previous));
    }
}

// Deleting the old log reports what it did; an event's type comes from the function, its string
// count from the strings given.
TEST(EventLogTest, DeleteOldLogFileAndTheReportFunctionsReportTypeIdAndStrings) {
    const test::CapturingEventReporter reporter;
    ::DeleteFileW(ServiceLogPath().c_str());
    DeleteOldLogFile();  // no file: nothing to report
    ::SetLastError(1234);
    Log(L"old update");  // held open without delete sharing, it cannot be deleted
    EXPECT_EQ(::GetLastError(), 1234u) << "logging keeps the caller's last error";
    HANDLE holder =
        ::CreateFileW(ServiceLogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DeleteOldLogFile();
    ::CloseHandle(holder);
    DeleteOldLogFile();
    EXPECT_FALSE(test::FileExists(ServiceLogPath()));
    const std::wstring second = L"error=5";
    ReportErrorEvent(MSG_CALL_FAILED, std::wstring(L"CopyFile"), &second);
    ReportInfoEvent(MSG_UPGRADING_FIRMWARE, std::wstring(L"C:\\fw\\ABC_01130000.bin"));
    std::vector<Event> reported;
    for (const test::RecordedEvent& e : reporter.Events()) {
        reported.emplace_back(e.type, e.id, e.strings);
    }
    // clang-format off
    EXPECT_EQ(reported, (std::vector<Event>{
        {kError, MSG_TEXT, {L"DeleteOldLogFile failed", L"Error: 32"}},
        {kInfo, MSG_TEXT, {L"DeleteOldLogFile", L"Successfully deleted old log file for new capsule update"}},
        {kError, MSG_CALL_FAILED, {L"CopyFile", second}}, {kInfo, MSG_UPGRADING_FIRMWARE, {L"C:\\fw\\ABC_01130000.bin"}}}));
    // clang-format on
}

struct ServiceStateTest : ::testing::Test {
    void SetUp() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::kServiceKey); }
    void TearDown() override { SetUp(); }
};

// Whether |read| fails and leaves |error| as the thread's last error.
template <typename Read>
bool FailsWith(DWORD error, Read read) {
    ::SetLastError(0);
    return !read() && ::GetLastError() == error;
}

// Missing key or value: error 2, presets kept, nothing created; deleting a missing value is
// fine once the key exists. Written text reads back up to its zero, one zero stored, one added.
TEST_F(ServiceStateTest, ValuesReadBackAsWrittenAndMissingOnesKeepThePresets) {
    DWORD dword = 7;
    std::wstring text = L"preset";
    UpgradeStatus status = UpgradeStatus::kDone;
    for (const bool keyExists : {false, true}) {
        EXPECT_TRUE(
            FailsWith(2, [&] { return ReadServiceDword(kUpgradeStatusValueName, &dword); }));
        EXPECT_TRUE(FailsWith(2, [&] { return ReadServiceString(kLastBinFileValueName, text); }));
        EXPECT_TRUE(FailsWith(2, [&] { return ReadUpgradeStatus(&status); }));
        EXPECT_EQ(std::tie(dword, text, status),
                  std::make_tuple(7, L"preset", UpgradeStatus::kDone));
        EXPECT_EQ(DeleteServiceValue(kLastBinFileValueName), keyExists);
        FILETIME written{};
        EXPECT_EQ(ReadServiceKeyWriteTime(&written), keyExists);
        ASSERT_TRUE(WriteServiceString("Other", L"x"));
    }
    SetUp();
    ASSERT_TRUE(WriteUpgradeStatus(UpgradeStatus::kFailed));  // creates the key again
    EXPECT_TRUE(ReadUpgradeStatus(&status) && status == UpgradeStatus::kFailed);
    for (const std::wstring& written :
         {L"C:\\fw\\ABC_01130000.bin"s, L""s, L"\x00e9t\x00e9 \x20ac"s, L"C:\\a\0\0"s}) {
        ASSERT_TRUE(WriteServiceString(kLastBinFileValueName, written));
        ASSERT_TRUE(ReadServiceString(kLastBinFileValueName, text));
        EXPECT_EQ(text, written.c_str() + std::wstring(2, L'\0'));
    }
    EXPECT_TRUE(DeleteServiceValue(kLastBinFileValueName));  // removes that value only
    EXPECT_FALSE(ReadServiceString(kLastBinFileValueName, text));
    EXPECT_TRUE(ReadServiceDword(kUpgradeStatusValueName, &dword) && dword == 2);
}

TEST_F(ServiceStateTest, ValueOfAnotherTypeOrSizeIsUnsupportedAndKeepsThePreset) {
    // clang-format off
    const std::tuple<const wchar_t*, DWORD, std::vector<BYTE>> cases[] = {
        {L"UpgradeStatus", REG_SZ, {'1', 0, 0, 0}},  // as long as a DWORD
        {L"UpgradeStatus", REG_SZ, {'t', 0, 'h', 0, 'r', 0, 'e', 0, 'e', 0, 0, 0}},  // longer
        {L"UpgradeStatus", REG_BINARY, {1, 0, 0, 0}}, {L"UpgradeStatus", REG_DWORD, {1, 0}},
        {L"LastBinFile", REG_DWORD, {1, 0, 0, 0}}, {L"LastBinFile", REG_EXPAND_SZ, {'%', 0, 0, 0}}};
    // clang-format on
    for (const auto& [name, type, bytes] : cases) {
        test::SetMachineValue(test::kServiceKey, name, type, bytes.data(), DWORD(bytes.size()));
        DWORD dword = 7;
        std::wstring text = L"preset";
        EXPECT_TRUE(FailsWith(ERROR_UNSUPPORTED_TYPE, [&, name = name] {
            return name[0] == L'U' ? ReadServiceDword(kUpgradeStatusValueName, &dword)
                                   : ReadServiceString(kLastBinFileValueName, text);
        })) << type;
        EXPECT_EQ(std::tie(dword, text), std::make_tuple(7, L"preset")) << type;
    }
}

}  // namespace
