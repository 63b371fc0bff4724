#include "records/service_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>

#include "records/messages.h"
#include "support/test_support.h"

namespace {

// The file as UTF-16 text after its byte-order mark; fails the test when the mark is missing.
std::wstring ReadUtf16AfterBom(const std::wstring& path) {
    const std::string bytes = test::ReadFileBytes(path);
    EXPECT_GE(bytes.size(), 2u);
    if (bytes.size() < 2) {
        return {};
    }
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
    EXPECT_EQ(bytes.size() % 2, 0u) << "UTF-16 text has an even number of bytes";
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
}

const std::wstring kStamp = L"\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] ";

TEST(ServiceLogTest, WritesTimeStampedUtf16LinesWithCrLf) {
    test::TempFolder folder;
    const std::wstring path = folder / L"service.log";

    LogToFile(L"first line", path);
    LogToFile(L"", path);
    LogToFile(L"two\nlines", path);
    LogToFile(L"\x00e9t\x00e9 \x20ac", path);  // non-ASCII text stays UTF-16

    const std::wstring text = ReadUtf16AfterBom(path);
    const std::wregex expected(kStamp + L"first line\r\n" + kStamp + L"\r\n" + kStamp +
                               L"two\r\nlines\r\n" + kStamp + L"\x00e9t\x00e9 \x20ac\r\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_EQ(text.find(L'\xFEFF'), std::wstring::npos) << "appending writes no second BOM";

    // The time stamp is the local time of the write.
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t year[8];
    std::swprintf(year, 8, L"[%04d-", now.wYear);
    EXPECT_EQ(text.compare(0, 6, year), 0) << text.substr(0, 24);
}

TEST(ServiceLogTest, CreatesTheMissingFirmwareFolderAndTheFile) {
    const std::wstring folder = L"C:\\Windows\\System32\\Firmware";
    test::RemoveTree(folder);
    ASSERT_FALSE(test::FileExists(folder));

    LogToFile(L"after the folder was removed", ServiceLogPath);

    EXPECT_TRUE(test::FileExists(folder));
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
              std::vector<std::wstring>{L"after the folder was removed"});
}

TEST(ServiceLogTest, PathWithoutSeparatorIsRelativeToTheCurrentFolder) {
    test::TempFolder folder;
    wchar_t previous[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.Path().c_str()));

    LogToFile(L"relative", L"plain.log");

    ::SetCurrentDirectoryW(previous);
    EXPECT_EQ(test::ReadServiceLogMessages(folder / L"plain.log"),
              std::vector<std::wstring>{L"relative"});
}

TEST(ServiceLogTest, UnopenablePathLosesTheLineQuietly) {
    test::TempFolder folder;
    // Two missing levels: only the last one would be created, so this fails.
    const std::wstring deep = folder / L"missing\\deeper\\x.log";
    LogToFile(L"lost", deep);
    EXPECT_FALSE(test::FileExists(folder / L"missing"));

    // A folder cannot be opened as a file.
    LogToFile(L"lost too", folder.Path());
    EXPECT_TRUE(test::ReadFileBytes(folder.Path()).empty());

    LogToFile(L"lost", L"");
}

TEST(ServiceLogTest, DeleteOldLogFileReportsOnlyWhenThereIsAFile) {
    test::CapturingEventReporter events;
    ::DeleteFileW(ServiceLogPath);

    DeleteOldLogFile();
    EXPECT_TRUE(events.Events().empty());

    LogToFile(L"old update", ServiceLogPath);
    DeleteOldLogFile();
    EXPECT_FALSE(test::FileExists(ServiceLogPath));
    auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(recorded[0].id, MSG_TEXT);
    EXPECT_EQ(
        recorded[0].strings,
        (std::vector<std::wstring>{L"DeleteOldLogFile",
                                   L"Successfully deleted old log file for new capsule update"}));

    // The next line starts a fresh file.
    LogToFile(L"new update", ServiceLogPath);
    EXPECT_EQ(test::ReadServiceLogMessages(ServiceLogPath),
              std::vector<std::wstring>{L"new update"});
}

TEST(ServiceLogTest, DeleteOldLogFileFailureIsAnErrorEventAndKeepsTheLog) {
    LogToFile(L"kept", ServiceLogPath);
    // Held open without delete sharing, the file cannot be deleted.
    HANDLE holder = ::CreateFileW(ServiceLogPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    test::CapturingEventReporter events;

    DeleteOldLogFile();
    ::CloseHandle(holder);

    auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(recorded[0].id, MSG_TEXT);  // informational ID, error-type event
    EXPECT_EQ(recorded[0].strings,
              (std::vector<std::wstring>{L"DeleteOldLogFile failed",
                                         L"Error: " + std::to_wstring(ERROR_SHARING_VIOLATION)}));
    LogToFile(L"appended", ServiceLogPath);
    const auto messages = test::ReadServiceLogMessages(ServiceLogPath);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], L"kept");
    EXPECT_EQ(messages.back(), L"appended");
    ::DeleteFileW(ServiceLogPath);
}

}  // namespace
