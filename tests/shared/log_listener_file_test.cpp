#include "shared/log_listener_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "shared/log_file_names.h"
#include "shared/log_test_support.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {
namespace {

using Record = CqvLogListener::LogData;

// Lines of our own format, as an earlier run would have left them, |bytes| long (the last
// line may be cut).
std::string OldLines(size_t bytes) {
    std::string lines;
    for (int i = 1; lines.size() < bytes; ++i) {
        lines += "2024/05/01 13:45:12.345|00000001|Error      |Old::Line|old " + std::to_string(i) +
                 "\r\n";
    }
    lines.resize(bytes);
    return lines;
}

// A FILETIME some minutes after a fixed day.
std::uint64_t Minutes(int minutes) {
    const std::uint64_t kDay = 133000000000000000ull;
    return kDay + static_cast<std::uint64_t>(minutes) * 60ull * 10000000ull;
}

class FileListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test::LogFolder();
        base_ = test::OwnBaseName();
        logPath_ = test::LogPathOf(base_);
        test::RemoveLogFiles(base_);
    }
    void TearDown() override { test::RemoveLogFiles(base_); }

    std::wstring Archive(int number) const { return ArchiveName(folder_ + L"\\" + base_, number); }

    // Every file of this program in the log folder, plus any temporary name left over.
    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> files = test::FilesStartingWith(folder_, base_);
        for (const std::wstring& name : test::FilesStartingWith(folder_, L"_lo")) {
            files.push_back(name);
        }
        return files;
    }

    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> messages;
        for (const std::wstring& line : test::ReadUtf8Lines(logPath_)) {
            const size_t bar = line.rfind(L'|');
            messages.push_back(bar == std::wstring::npos ? line : line.substr(bar + 1));
        }
        return messages;
    }

    test::ScopedLogPolicy policy_;
    std::wstring folder_;
    std::wstring base_;
    std::wstring logPath_;
};

TEST_F(FileListenerTest, WritesUtf8LinesWithCrLfAndReleasesTheSharedMutex) {
    CqvLogListenerFile listener(false, 5);
    EXPECT_EQ(std::wstring(listener.Path()), logPath_);
    EXPECT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeFile));
    EXPECT_EQ(listener.MaxLogSize(), 2048);

    const Record first(5, "File::Test", L"Gr\u00FC\u00DFe \u20AC \U0001F600");
    const Record second(4, "File::Test", L"50% %ls plain");
    listener.Write(first);
    listener.Write(second);

    std::string expected =
        test::Utf8(first.Format()) + "\r\n" + test::Utf8(second.Format()) + "\r\n";
    std::string bytes = test::ReadFileBytes(logPath_);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bytes.erase(0, 3);
    }
    EXPECT_EQ(bytes, expected);

    // Every writer of this path, in any process, meets at the mutex named after it, and no
    // write keeps it.
    bool takenElsewhere = false;
    std::thread([&] {
        win::UniqueHandle mutex(
            ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, LogMutexName(logPath_).c_str()));
        ASSERT_TRUE(mutex);
        takenElsewhere = ::WaitForSingleObject(mutex.Get(), 0) == WAIT_OBJECT_0;
        ::ReleaseMutex(mutex.Get());
    }).join();
    EXPECT_TRUE(takenElsewhere);
}

TEST_F(FileListenerTest, FirstWriteArchivesAFileAboveMaxLogSize) {
    struct Case {
        DWORD moduleMaxLogSize;  // 0: not set
        DWORD productMaxLogSize;
        size_t fileBytes;
        int maxLogSize;
        bool rotated;
    };
    const Case cases[] = {
        {1, 0, 1000, 1, false},
        {1, 0, 1100, 1, true},
        {0, 2, 1100, 2, false},
        {0, 2, 2100, 2, true},
        {0, 0, 2048 * 1024 - 100, 2048, false},
        {0, 0, 2048 * 1024 + 100, 2048, true},
    };
    for (const Case& c : cases) {
        test::RemoveLogFiles(base_);
        test::ScopedLogPolicy policy;
        if (c.moduleMaxLogSize != 0) {
            policy.SetDword(true, L"MaxLogSize", c.moduleMaxLogSize);
        }
        if (c.productMaxLogSize != 0) {
            policy.SetDword(false, L"MaxLogSize", c.productMaxLogSize);
        }
        const std::string old = OldLines(c.fileBytes);
        test::WriteFileBytes(logPath_, old);

        CqvLogListenerFile listener(false, 5);
        EXPECT_EQ(listener.MaxLogSize(), c.maxLogSize);
        EXPECT_FALSE(test::FileExists(Archive(1))) << "nothing rotates before the first write";
        listener.Write(Record(5, "Rotate::Test", L"new line"));

        EXPECT_EQ(test::FileExists(Archive(1)), c.rotated) << c.fileBytes;
        const std::vector<std::wstring> messages = Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back(), L"new line");
        if (c.rotated) {
            EXPECT_EQ(test::ReadFileBytes(Archive(1)), old);
            EXPECT_EQ(messages.size(), 1u);
        } else {
            EXPECT_GT(messages.size(), 1u);
        }
    }
}

TEST_F(FileListenerTest, RotationNumbersArchivesNewestFirstAndKeepsNine) {
    // Archive numbers that disagree with their times, as after copies or clock changes.
    const int minutesOfArchive[] = {0, 70, 30, 50, 10, 90, 20, 80, 40, 60, 5, 100};
    for (const int archives : {0, 3, 9, 11}) {
        test::RemoveLogFiles(base_);
        test::WriteFileBytes(logPath_, OldLines(100));
        std::multimap<std::uint64_t, std::string, std::greater<std::uint64_t>> newestFirst;
        for (int number = 1; number <= archives; ++number) {
            const std::string content = "archive " + std::to_string(number);
            test::WriteFileBytes(Archive(number), content);
            test::SetLastWriteTime(Archive(number), Minutes(minutesOfArchive[number]));
            newestFirst.emplace(Minutes(minutesOfArchive[number]), content);
        }

        CqvLogListenerFile listener(false, 5);
        ASSERT_TRUE(listener.Open());
        EXPECT_TRUE(listener.RotateIfNeeded(true));
        listener.Close();

        std::vector<std::string> expected = {OldLines(100)};
        for (const auto& archive : newestFirst) {
            if (expected.size() < static_cast<size_t>(kMaxLogArchives)) {
                expected.push_back(archive.second);
            }
        }
        std::vector<std::string> contents;
        for (int number = 1; number <= static_cast<int>(expected.size()); ++number) {
            contents.push_back(test::ReadFileBytes(Archive(number)));
        }
        EXPECT_EQ(contents, expected) << archives << " archives";
        // The fresh log file and the numbered archives: nothing else, no temporary name.
        EXPECT_EQ(Files().size(), expected.size() + 1) << archives << " archives";
    }
}

TEST_F(FileListenerTest, FileOfAnotherFormatIsArchivedAtConstruction) {
    struct Case {
        const char* what;
        std::string bytes;
        bool archived;
    };
    const Case cases[] = {
        {"another program's text", "hello world\r\n", true},
        {"UTF-16 text",
         std::string("\xFF\xFE"
                     "2\0000\0002\0004\0",
                     10),
         true},
        {"a line head cut short", "2024/05/01 13:45", true},
        {"our own lines", OldLines(200), false},
        {"our own lines after a byte-order mark", "\xEF\xBB\xBF" + OldLines(200), false},
        {"an empty file", "", false},
    };
    for (const Case& c : cases) {
        test::RemoveLogFiles(base_);
        test::WriteFileBytes(logPath_, c.bytes);
        { CqvLogListenerFile listener(false, 5); }
        EXPECT_EQ(test::FileExists(Archive(1)), c.archived) << c.what;
        if (c.archived) {
            EXPECT_EQ(test::ReadFileBytes(Archive(1)), c.bytes) << c.what;
        } else if (c.bytes.empty()) {
            // The runtime may have put a byte-order mark into the empty file.
            const std::string bytes = test::ReadFileBytes(logPath_);
            EXPECT_TRUE(bytes.empty() || bytes == "\xEF\xBB\xBF") << c.what;
        } else {
            EXPECT_EQ(test::ReadFileBytes(logPath_), c.bytes) << c.what;
        }
    }
}

TEST_F(FileListenerTest, QueuedWritesKeepTheLoggingOrder) {
    CqvLogListenerFile listener(true, 5);
    ASSERT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeFileQueued));
    std::vector<std::wstring> expected;
    std::vector<std::wstring> lines;
    for (int i = 0; i < 500; ++i) {
        expected.push_back(L"queued " + std::to_wstring(i));
        const Record record(5, "Queue::Test", expected.back());
        lines.push_back(record.Format());
        listener.Write(record);
        if (i % 100 == 0) {
            ::Sleep(5);  // let writers end and new ones start
        }
    }
    ASSERT_TRUE(listener.WaitUntilWritten(30000));
    EXPECT_EQ(Messages(), expected);
    // Written later, each line still shows its record's creation time and thread.
    EXPECT_EQ(test::ReadUtf8Lines(logPath_), lines);
}

TEST_F(FileListenerTest, QueuedWritesPolicyOfTheModuleKeyWins) {
    struct Case {
        int product;  // -1: not set
        int module;
        bool constructedQueued;
        unsigned int type;
    };
    const Case cases[] = {
        {-1, -1, false, LogTypeFile},      {-1, -1, true, LogTypeFileQueued},
        {1, -1, false, LogTypeFileQueued}, {1, 0, true, LogTypeFile},
        {0, 1, false, LogTypeFileQueued},  {0, -1, true, LogTypeFile},
    };
    for (const Case& c : cases) {
        test::ScopedLogPolicy policy;
        if (c.product >= 0) {
            policy.SetDword(false, L"QueuedWrites", static_cast<DWORD>(c.product));
        }
        if (c.module >= 0) {
            policy.SetDword(true, L"QueuedWrites", static_cast<DWORD>(c.module));
        }
        CqvLogListenerFile listener(c.constructedQueued, 5);
        EXPECT_EQ(listener.GetType(), c.type)
            << c.product << " " << c.module << " " << c.constructedQueued;
    }
}

TEST_F(FileListenerTest, QueuedRecordsWaitWhileTheFileCannotBeOpened) {
    CqvLogListenerFile listener(true, 5);
    ASSERT_EQ(listener.GetType(), static_cast<unsigned int>(LogTypeFileQueued));
    {
        win::UniqueFileHandle exclusive(::CreateFileW(logPath_.c_str(), GENERIC_READ, 0, nullptr,
                                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(exclusive);
        for (int i = 1; i <= 3; ++i) {
            listener.Write(Record(5, "Blocked::Test", L"record " + std::to_wstring(i)));
        }
        EXPECT_FALSE(listener.WaitUntilWritten(500));
    }
    EXPECT_TRUE(Messages().empty());
    listener.Write(Record(5, "Blocked::Test", L"record 4"));
    ASSERT_TRUE(listener.WaitUntilWritten(10000));
    EXPECT_EQ(Messages(),
              (std::vector<std::wstring>{L"record 1", L"record 2", L"record 3", L"record 4"}));
}

TEST_F(FileListenerTest, ArchiveThatCannotMoveLeavesEveryArchiveInPlace) {
    policy_.SetDword(true, L"MaxLogSize", 1);
    const std::string old = OldLines(2000);
    test::WriteFileBytes(logPath_, old);
    for (int number = 1; number <= 3; ++number) {
        test::WriteFileBytes(Archive(number), "archive " + std::to_string(number));
        test::SetLastWriteTime(Archive(number), Minutes(10 - number));  // 1 is the newest
    }
    CqvLogListenerFile listener(false, 5);
    const std::vector<std::wstring> before = Files();
    {
        // The newest archive is moved last; the two older ones are already under temporary
        // names when its move fails.
        win::UniqueFileHandle held(::CreateFileW(Archive(1).c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        listener.Write(Record(5, "Stuck::Rotation", L"still written"));
    }
    EXPECT_EQ(Files(), before);
    for (int number = 1; number <= 3; ++number) {
        EXPECT_EQ(test::ReadFileBytes(Archive(number)), "archive " + std::to_string(number));
    }
    const std::vector<std::wstring> messages = Messages();
    ASSERT_GT(messages.size(), 1u);
    EXPECT_EQ(messages.front(), L"old 1");
    EXPECT_EQ(messages.back(), L"still written");

    // Nothing stands in the way any more: the next check rotates.
    ASSERT_TRUE(listener.Open());
    EXPECT_TRUE(listener.RotateIfNeeded(false));
    listener.Close();
    EXPECT_EQ(test::ReadFileBytes(Archive(2)), "archive 1");
    EXPECT_EQ(test::ReadFileBytes(Archive(4)), "archive 3");
    EXPECT_EQ(Files().size(), 5u);
}

TEST_F(FileListenerTest, TwoProcessesShareTheFileWithoutLosingOrMixingLines) {
    wchar_t ownPath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    std::wstring writer = ownPath;
    writer = writer.substr(0, writer.rfind(L'\\')) + L"\\shared_log_writer.exe";
    ASSERT_TRUE(test::FileExists(writer)) << "build shared_log_writer";
    const std::wstring writerLog = test::LogPathOf(L"shared_log_writer");
    const int kLines = 1500;

    for (const int queued : {0, 1}) {
        test::RemoveLogFiles(L"shared_log_writer");
        win::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, L"Global\\NyxSharedLogWriterGo"));
        ASSERT_TRUE(go);
        std::vector<win::UniqueHandle> processes;
        for (const wchar_t* tag : {L"A", L"B"}) {
            std::wstring commandLine = L"\"" + writer + L"\" " + tag + L" " +
                                       std::to_wstring(kLines) + L" " + std::to_wstring(queued);
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            ASSERT_TRUE(::CreateProcessW(writer.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                         0, nullptr, nullptr, &startup, &process));
            ::CloseHandle(process.hThread);
            processes.emplace_back(process.hProcess);
        }
        ::Sleep(1500);  // both have set up their listener
        ::SetEvent(go.Get());
        for (const auto& process : processes) {
            ASSERT_EQ(::WaitForSingleObject(process.Get(), 120000), WAIT_OBJECT_0);
            DWORD exitCode = 1;
            ::GetExitCodeProcess(process.Get(), &exitCode);
            EXPECT_EQ(exitCode, 0u) << "queued " << queued;
        }

        int bareLineFeeds = -1;
        const std::vector<std::wstring> lines = test::ReadUtf8Lines(writerLog, &bareLineFeeds);
        EXPECT_EQ(bareLineFeeds, 0);
        EXPECT_EQ(lines.size(), static_cast<size_t>(2 * kLines)) << "queued " << queued;
        std::map<wchar_t, int> lastNumber = {{L'A', 0}, {L'B', 0}};
        int switches = 0;
        wchar_t previous = 0;
        for (const std::wstring& line : lines) {
            const std::wstring prefix = L"Error      |main|writer ";
            ASSERT_TRUE(HasLogLineHead(line.c_str(), line.size())) << line;
            ASSERT_EQ(line.compare(33, prefix.size(), prefix), 0) << line;
            const wchar_t tag = line[33 + prefix.size()];
            const std::wstring rest = line.substr(33 + prefix.size() + 1);
            ASSERT_EQ(rest.compare(0, 6, L" line "), 0) << line;
            ASSERT_EQ(lastNumber.count(tag), 1u) << line;
            // Each writer's lines arrive complete and in its own order.
            EXPECT_EQ(std::stoi(rest.substr(6)), lastNumber[tag] + 1) << line;
            lastNumber[tag] = std::stoi(rest.substr(6));
            switches += (previous != 0 && previous != tag) ? 1 : 0;
            previous = tag;
        }
        EXPECT_EQ(lastNumber[L'A'], kLines);
        EXPECT_EQ(lastNumber[L'B'], kLines);
        std::printf("queued %d: the writers took turns %d times\n", queued, switches);
    }
    test::RemoveLogFiles(L"shared_log_writer");
}

}  // namespace
}  // namespace Shared
}  // namespace QV
