// The logging framework on Windows: the logger, its policy, the listeners and the log file.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include "logging/log_file_names.h"
#include "logging/log_listener_file.h"
#include "logging/logger.h"
#include "support/test_support.h"

#include <sddl.h>  // after <windows.h>

using namespace QV::Shared;
using Record = CqvLogListener::LogData;
using Bodies = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {
const std::wstring kProductKey = L"Software\\Policies\\QV\\QV NYX Service";
const auto NoBom = [](std::string b) { return b.rfind("\xEF\xBB\xBF", 0) ? b : b.erase(0, 3); };
// |n| bytes that start with a line head of this format
const auto Ours = [](size_t n) { return "2024/05/01 13:45:12.345|" + std::string(n - 24, '-'); };
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(L"", L"%USERPROFILE%\\AppData\\Roaming"); }
    // Only the |policy| values "P:Name=text;M:Name#number" of the product key (P) or this
    // program's key (M), and |appData| (else an empty folder) as this user's application data.
    void Reset(const std::wstring& policy = L"", std::wstring appData = L"") {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey.c_str());
        for (const std::wstring& item : test::SplitLines(policy, std::wstring(L";"))) {
            const std::wstring key = kProductKey + (item[0] == L'M' ? L"\\logging_test" : L"");
            const size_t at = item.find_first_of(L"=#");
            const std::wstring name = item.substr(2, at - 2), text = item.substr(at + 1);
            const DWORD dword = item[at] == L'#', number = dword ? std::stoul(text) : 0;
            test::SetMachineValue(key.c_str(), name.c_str(), dword ? REG_DWORD : REG_SZ,
                                  dword ? static_cast<const void*>(&number) : text.c_str(),
                                  dword ? 4 : static_cast<DWORD>(text.size() * 2 + 2));
        }
        appData_ = std::make_unique<test::TempFolder>();
        appData = appData.empty() ? appData_->Path() : appData;
        ::RegSetKeyValueW(
            HKEY_CURRENT_USER,
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
            L"AppData", REG_EXPAND_SZ, appData.c_str(), appData.size() * 2 + 2);
        fs::create_directory(In(L""));
    }
    std::wstring In(const std::wstring& name) const { return *appData_ / (L"qvzLog\\" + name); }
    std::wstring Log() const { return In(L"logging_test.log"); }
    Bodies Folder() const {  // bodies of the log folder's files, by name
        Bodies bodies;
        for (const fs::path& file : std::set<fs::path>(fs::directory_iterator(In(L"")), {}))
            bodies.push_back(NoBom(test::ReadFileBytes(file.wstring())));
        return bodies;
    }
    std::unique_ptr<test::TempFolder> appData_;
};

TEST_F(LogTest, PolicyChoosesListenersAndLevelsModuleKeyFirst) {
    // policy, default level and types: listener types in calling order, the first one's range,
    // then "id,type" of the events that logging levels 0 to 7 give
    const std::tuple<const wchar_t*, int, unsigned, const wchar_t*> cases[] = {
        {L"", 3, LogTypeEvent, L"1 3..5: 3,4 4,2 5,1"},
        {L"", 5, kAllLogTypes, L"1 4 2 16 5..5: 5,1"},
        {L"P:LoggingType=DEBUG,FILE", 5, LogTypeEvent, L"8 2 5..5:"},
        {L"P:LoggingType=Console;M:LoggingType=dEbUg EvEnT", 5, LogTypeEvent, L"1 2 5..5: 5,1"},
        {L"P:MinLogLevel=Error;M:MinLogLevel=traceIN", 5, LogTypeDebug, L"2 0..5:"},
        {L"P:MinLogLevel=Warning;M:MaxLogLevel=information", 5, LogTypeDebug, L"2 4..3:"},
        // An empty text and a number leave the default, an unknown word means "Never".
        {L"P:MinLogLevel=;M:MinLogLevel#3;M:MaxLogLevel=Loud", 4, LogTypeDebug, L"2 4..99:"},
        {L"P:MinLogLevel=verbose;P:MaxLogLevel=Diag", 5, LogTypeEvent, L"1 2..6: 2,4 3,4 4,2 5,1"}};
    test::CapturingEventReporter events;
    for (const auto& [policy, level, types, expected] : cases) {
        Reset(policy);
        events.Clear();
        std::unique_ptr<CqvLog> logger(CqvLog::Create(level, types));
        std::wstring seen;
        for (int i = 0; i < logger->ListenerCount(); ++i)
            seen += std::to_wstring(logger->Listener(i)->GetType()) + L" ";
        seen += std::to_wstring(logger->Listener(0)->MinLevel()) + L".." +
                std::to_wstring(logger->Listener(0)->MaxLevel()) + L":";
        ::SetLastError(0xBEEF);  // the outputs change it, logging does not
        for (int logged = 0; logged <= 7; ++logged)
            logged % 2 ? logger->Log(logged, "A::B", std::wstring(L"%ls"))
                       : logger->Log(logged, "A::B", L"%hs%d", "x", logged);
        logger->Log(7, "A::B", nullptr);
        EXPECT_EQ(::GetLastError(), 0xBEEFu);
        for (const auto& event : events.Events())
            seen += L" " + std::to_wstring(event.id) + L"," + std::to_wstring(event.type);
        EXPECT_EQ(seen, expected) << policy;
    }
    const std::wstring line = events.Events().at(2).strings.at(0);  // level 4 of the last case
    EXPECT_EQ(line.substr(0, 2) + line.substr(33), L"20Warning    |A::B|x4");
    EXPECT_EQ(events.Events().at(3).strings.at(0).substr(33), L"Error      |A::B|%ls");
}

TEST_F(LogTest, FileOfAnotherFormatOrTooLargeIsArchivedAndNoFolderMeansNoFile) {
    // policy, queued as constructed, type, size limit (KiB), earlier content, archived
    const std::tuple<const wchar_t*, bool, unsigned, int, std::string, bool> cases[] = {
        {L"M:MaxLogSize#1;P:MaxLogSize#3", false, LogTypeFile, 1, Ours(1024), false},
        {L"M:MaxLogSize#1", true, LogTypeFileQueued, 1, Ours(1025), true},
        {L"M:MaxLogSize#0;P:MaxLogSize#2", false, LogTypeFile, 2, Ours(2049), true},
        {L"P:MaxLogSize=1;P:QueuedWrites#1", false, LogTypeFileQueued, 2048, Ours(60000), false},
        {L"M:QueuedWrites#0", true, LogTypeFile, 2048, "\xEF\xBB\xBF" + Ours(99), false},
        {L"P:MaxLogSize#2147483648", true, LogTypeFileQueued, 0x7FFFFFFF, "", false},
        {L"", false, LogTypeFile, 2048, "hello\r\n", true},
        {L"", true, LogTypeFileQueued, 2048, "2024/05/01 13:45", true}};
    for (const auto& [policy, queued, type, maxLogSize, content, archived] : cases) {
        Reset(policy);
        std::ofstream(fs::path(Log()), std::ios::binary) << content;
        CqvLogListenerFile listener(queued, 5);
        EXPECT_EQ(std::make_pair(listener.GetType(), listener.MaxLogSize()),
                  std::make_pair(type, maxLogSize));
        const Record record(5, "F", L"Gr\u00FC\u00DFe \U0001F600");
        listener.Write(record);
        ASSERT_TRUE(listener.WaitUntilWritten(10000));
        const std::string line = test::Utf8(record.Format()) + "\r\n";
        EXPECT_EQ(Folder(), (archived ? Bodies{line, content} : Bodies{NoBom(content) + line}));
    }
    // No file where the log folder cannot be created, or the log's path would not fit its buffer;
    // writers of the bare file name still meet at one mutex.
    const std::wstring deep = L"C:\\" + std::wstring(236, L'l');
    ::CreateDirectoryW(deep.c_str(), nullptr);
    for (const wchar_t* appData : {L"C:\\windows\\system32\\kernel32.dll\\below", deep.c_str()}) {
        Reset(L"", appData);
        const CqvLogListenerFile silent(false, 5);
        EXPECT_STREQ(silent.Path(), L"");
        EXPECT_TRUE(
            win::UniqueHandle(::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\logging_test.log")));
    }
    test::RemoveTree(deep);
}

TEST_F(LogTest, RotationKeepsTheNewestArchivesAndUndoesAStuckRename) {
    // 5 is the newest, 4 the oldest; of 2 and 6 with equal times the higher number is older.
    const int age[] = {0, 30, 70, 50, 90, 10, 70, 20, 60, 40};  // in minutes
    std::ofstream(fs::path(Log()), std::ios::binary) << Ours(99);
    for (int n = 1; n <= 9; ++n) {
        const fs::path file = In(L"logging_test_000" + std::to_wstring(n) + L".log");
        std::ofstream(file) << n;
        fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(age[n]));
    }
    CqvLogListenerFile listener(false, 5);
    for (const bool stuck : {true, false}) {
        // The newest is renamed last: the others are under temporary names when it fails.
        std::ifstream held(stuck ? fs::path(In(L"logging_test_0005.log")) : fs::path());
        ASSERT_TRUE(listener.Open());
        EXPECT_EQ(listener.RotateIfNeeded(true), !stuck);
        listener.Close();
        EXPECT_EQ(Folder(), (stuck ? Bodies{Ours(99), "1", "2", "3", "5", "6", "7", "8", "9"}
                                   : Bodies{"", Ours(99), "5", "7", "1", "9", "3", "8", "2", "6"}));
    }
}

TEST_F(LogTest, QueuedRecordsKeepTheirOrderWhileTheFileIsBlockedAndAtShutdown) {
    auto listener = std::make_unique<CqvLogListenerFile>(true, 5);
    std::string lines;  // of every record written, in order
    const auto write = [&](int count) {
        while (count-- > 0) {
            const Record record(5, "Q", std::to_wstring(lines.size()));
            listener->Write(record);
            lines += test::Utf8(record.Format()) + "\r\n";
        }
    };
    {
        win::UniqueFileHandle exclusive(
            ::CreateFileW(Log().c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
        write(3);
        EXPECT_FALSE(listener->WaitUntilWritten(500));
    }
    write(300);
    ASSERT_TRUE(listener->WaitUntilWritten(30000));
    EXPECT_EQ(Folder(), Bodies{lines});
    // Another holder of the mutex: the direct listener drops records after one bounded wait,
    // the queue keeps them for its next writer, and the queue's end gives its writer two short
    // rounds to write what is queued.
    win::UniqueHandle taken(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const auto hold = [&] {  // returns once the mutex is held
        ::ResetEvent(release.Get());
        std::thread holder([&] {
            win::UniqueHandle mutex(
                ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, LogMutexName(Log()).c_str()));
            EXPECT_EQ(::WaitForSingleObject(mutex.Get(), 5000), WAIT_OBJECT_0);
            ::SetEvent(taken.Get());
            ::WaitForSingleObject(release.Get(), INFINITE);
            ::ReleaseMutex(mutex.Get());
        });
        ::WaitForSingleObject(taken.Get(), INFINITE);
        return holder;
    };
    // Lost lines are counted, and each listener reports its first loss in one event: the direct
    // one when it drops a record, a queued one when it ends with records it could not write.
    test::CapturingEventReporter events;
    auto ending = std::make_unique<CqvLogListenerFile>(true, 5);
    std::thread holder = hold();
    write(1);  // its writer gives up while the direct listener below waits
    ending->Write(Record(5, "E", L"lost"));  // so does this one's
    CqvLogListenerFile direct(false, 5);
    direct.Write(Record(5, "D", L"dropped"));
    direct.Write(Record(5, "D", L"dropped too"));
    ending.reset();
    EXPECT_EQ(direct.LostLines(), 2u);
    ::SetEvent(release.Get());
    holder.join();
    write(1);
    ASSERT_TRUE(listener->WaitUntilWritten(30000));
    const Record kept(5, "D", L"written");
    direct.Write(kept);
    lines += test::Utf8(kept.Format()) + "\r\n";
    holder = hold();
    write(5);
    std::thread late([&] { ::Sleep(200), ::SetEvent(release.Get()); });
    listener.reset();
    late.join();
    holder.join();
    EXPECT_EQ(Folder(), Bodies{lines});
    const std::wstring lost = L"Warning    |QV::Shared::CqvLogListenerFile|Log file " + Log() +
                              L": 1 line(s) lost, its mutex was held elsewhere beyond 10000 ms; "
                              L"later losses in this run are not reported";
    ASSERT_EQ(events.Events().size(), 2u);
    for (const auto& event : events.Events()) {
        EXPECT_EQ(std::make_tuple(event.id, event.type, event.strings.at(0).substr(33)),
                  std::make_tuple(4ul, WORD{EVENTLOG_WARNING_TYPE}, lost));
    }
}

// Only SYSTEM, Administrators and this account may own the mutex of the file.
TEST_F(LogTest, LogMutexOfAnotherOwnerKeepsTheFileOffAndOneEventSaysWhy) {
    // what exists under the mutex's name first ("" nothing, "event", else a mutex of that
    // security), and why the listener stays off ("" when it writes)
    // clang-format off
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L""}, {L"O:SYD:(A;;GA;;;WD)", L""}, {L"O:BAD:(A;;GA;;;WD)", L""},
        {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", L""},  // owned as this account makes it
        {L"O:BUD:(A;;GA;;;WD)", L"its mutex # belongs to S-1-5-32-545, not to SYSTEM, Administrators or this account"},
        {L"O:S-1-5-21-1-2-3-4444D:(A;;GA;;;WD)", L"its mutex # belongs to S-1-5-21-1-2-3-4444, not to SYSTEM, Administrators or this account"},
        {L"event", L"CreateMutexW of # failed, error 6"}};  // clang-format on
    test::CapturingEventReporter events;
    for (const auto& [before, problem] : cases) {
        Reset();
        events.Clear();
        const std::wstring name = LogMutexName(Log());
        win::UniqueHLocal descriptor;
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(before.c_str(), SDDL_REVISION_1,
                                                               descriptor.Put(), nullptr);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
        const win::UniqueHandle first(before.empty() ? nullptr
                                      : before == L"event"
                                          ? ::CreateEventW(nullptr, FALSE, FALSE, name.c_str())
                                          : ::CreateMutexW(&attributes, FALSE, name.c_str()));
        CqvLogListenerFile listener(false, 5);
        const Record record(5, "F", L"line");
        listener.Write(record);
        std::wstring seen, expected = problem;
        for (const auto& event : events.Events())
            seen += std::to_wstring(event.id) + L"," + std::to_wstring(event.type) + L" " +
                    event.strings.at(0).substr(33);
        if (!problem.empty()) {
            expected = L"5,1 Error      |QV::Shared::CqvLogListenerFile|Log file " + Log() +
                       L" stays off in this run: " + expected.replace(expected.find(L'#'), 1, name);
        }
        EXPECT_EQ(seen, expected) << before;
        EXPECT_EQ(Folder(),
                  problem.empty() ? Bodies{test::Utf8(record.Format()) + "\r\n"} : Bodies{})
            << before;
    }
}
}  // namespace
