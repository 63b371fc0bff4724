#include "shared/logger.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shared/log_test_support.h"
#include "support/test_support.h"

namespace QV {
namespace Shared {
namespace {

using LogData = CqvLogListener::LogData;

// Keeps a copy of every record it is given and, like a real output, changes the thread's
// last error while writing.
class RecordingListener final : public CqvLogListener {
public:
    RecordingListener(int min, int max, std::vector<LogData>* records)
        : CqvLogListener(min), records_(records) {
        minLevel = min;
        maxLevel = max;
    }
    void Write(const LogData& data) override {
        records_->push_back(data);
        ::SetLastError(ERROR_WRITE_FAULT);
    }
    unsigned int GetType() const override { return LogTypeDebug; }

private:
    std::vector<LogData>* records_;
};

class LoggerTest : public ::testing::Test {
protected:
    test::ScopedLogPolicy policy_;  // none: listener ranges come from the tests alone
};

TEST_F(LoggerTest, ConstructorValidationNamesTheFault) {
    std::vector<LogData> records;
    struct Case {
        bool nullArray;
        int count;
        int nullIndex;  // -1: none
        const wchar_t* message;
    };
    const Case cases[] = {
        {true, 1, -1, L"Invalid parameter value. ppListeners is NULL."},
        {false, 0, -1, L"Invalid parameter value. nListenerCount <= 0."},
        {false, -3, -1, L"Invalid parameter value. nListenerCount <= 0."},
        {false, 11, -1, L"Invalid parameter value. nListenerCount > 10."},
        {false, 3, 2, L"Invalid parameter value. pListenerList[2] is NULL"},
        {false, 10, 0, L"Invalid parameter value. pListenerList[0] is NULL"},
    };
    for (const Case& c : cases) {
        std::vector<std::unique_ptr<RecordingListener>> owned;
        std::vector<CqvLogListener*> slots(12, nullptr);
        for (int i = 0; i < c.count && i < 12; ++i) {
            if (i != c.nullIndex) {
                owned.push_back(std::make_unique<RecordingListener>(5, 5, &records));
                slots[static_cast<size_t>(i)] = owned.back().get();
            }
        }
        try {
            CqvLog logger(c.nullArray ? nullptr : slots.data(), c.count, true, 512);
            ADD_FAILURE() << "no exception for " << c.message;
            for (auto& listener : owned) {
                (void)listener.release();  // the logger deletes them
            }
        } catch (const CSharedException& exception) {
            EXPECT_EQ(exception.Message(), c.message);
        }
    }
}

TEST_F(LoggerTest, WithoutValidationNullSlotsAreSkipped) {
    std::vector<LogData> records;
    CqvLogListener* slots[3] = {new RecordingListener(3, 3, &records), nullptr,
                                new RecordingListener(2, 4, &records)};
    CqvLog logger(slots, 3, false, 512);
    EXPECT_EQ(logger.ListenerCount(), 3);
    EXPECT_EQ(logger.Listener(1), nullptr);
    EXPECT_EQ(logger.MinLevel(), 2);
    EXPECT_EQ(logger.MaxLevel(), 5);  // never below "Error"
    logger.Log(3, "f", L"three");
    EXPECT_EQ(records.size(), 2u);
}

TEST_F(LoggerTest, LevelsOutsideTheOverallRangeAreNeitherFormattedNorWritten) {
    std::vector<LogData> lowRecords;
    std::vector<LogData> highRecords;
    CqvLogListener* slots[2] = {new RecordingListener(2, 2, &lowRecords),
                                new RecordingListener(5, 6, &highRecords)};
    CqvLog logger(slots, 2, true, 512);
    ASSERT_EQ(logger.MinLevel(), 2);
    ASSERT_EQ(logger.MaxLevel(), 6);

    struct Case {
        int level;
        bool formatted;  // inside the logger's overall range
        size_t low;
        size_t high;
    };
    const Case cases[] = {
        {1, false, 0, 0}, {2, true, 1, 0}, {3, true, 0, 0},  {4, true, 0, 0},
        {5, true, 0, 1},  {6, true, 0, 1}, {7, false, 0, 0}, {99, false, 0, 0},
    };
    for (const Case& c : cases) {
        lowRecords.clear();
        highRecords.clear();
        int formattedCharacters = -1;
        ::SetLastError(0xBEEF);
        logger.Log(c.level, "Caller::Function", L"abc%n", &formattedCharacters);
        EXPECT_EQ(::GetLastError(), 0xBEEFu) << c.level;
        EXPECT_EQ(formattedCharacters, c.formatted ? 3 : -1) << c.level;
        EXPECT_EQ(lowRecords.size(), c.low) << c.level;
        EXPECT_EQ(highRecords.size(), c.high) << c.level;

        ::SetLastError(0xCAFE);
        logger.Log(c.level, "Caller::Function", std::wstring(L"finished"));
        EXPECT_EQ(::GetLastError(), 0xCAFEu) << c.level;
        EXPECT_EQ(lowRecords.size(), 2 * c.low) << c.level;
        EXPECT_EQ(highRecords.size(), 2 * c.high) << c.level;
    }
}

TEST_F(LoggerTest, RecordCarriesCallerLevelMessageAndThread) {
    std::vector<LogData> records;
    CqvLogListener* slots[1] = {new RecordingListener(0, 6, &records)};
    CqvLog logger(slots, 1, true, 512);
    logger.Log(4, "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo", L"%ls %hs %d 0x%04X", L"wide",
               "narrow", -7, 0xAB);
    std::thread([&] { logger.Log(5, "Other::Thread", std::wstring(L"50% %ls")); }).join();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Level(), 4);
    EXPECT_EQ(records[0].Function(), "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo");
    EXPECT_EQ(records[0].Message(), L"wide narrow -7 0x00AB");
    EXPECT_EQ(records[0].ThreadId(), ::GetCurrentThreadId());
    EXPECT_EQ(records[1].Message(), L"50% %ls");  // a finished text is not a format
    EXPECT_NE(records[1].ThreadId(), ::GetCurrentThreadId());
}

TEST_F(LoggerTest, FormattedMessagesAreCutFinishedTextsAreNot) {
    const std::wstring longText(600, L'x');
    struct Case {
        int bufferSize;
        bool finished;
        size_t textLength;
        size_t expected;
    };
    const Case cases[] = {
        {512, false, 600, 511},    {512, false, 511, 511},     {512, false, 510, 510},
        {512, true, 600, 600},     {10000, false, 9000, 8095}, {8096, false, 8095, 8095},
        {10000, true, 9000, 9000},
    };
    for (const Case& c : cases) {
        std::vector<LogData> records;
        CqvLogListener* slots[1] = {new RecordingListener(5, 5, &records)};
        CqvLog logger(slots, 1, true, c.bufferSize);
        const std::wstring text(c.textLength, L'y');
        if (c.finished) {
            logger.Log(5, "f", text);
        } else {
            logger.Log(5, "f", L"%ls", text.c_str());
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].Message(), text.substr(0, c.expected))
            << c.bufferSize << " " << c.finished << " " << c.textLength;
    }
}

TEST_F(LoggerTest, NullOrEmptyFormatGivesEmptyMessage) {
    std::vector<LogData> records;
    CqvLogListener* slots[1] = {new RecordingListener(5, 5, &records)};
    CqvLog logger(slots, 1, true, 512);
    logger.Log(5, "Null::Format", nullptr);
    logger.Log(5, "Empty::Format", L"");
    ASSERT_EQ(records.size(), 2u);
    for (const LogData& record : records) {
        EXPECT_TRUE(record.Message().empty());
        EXPECT_EQ(record.Format().substr(record.Format().size() - 1), L"|");
    }
}

TEST_F(LoggerTest, RecordLineShowsItsCreationTimeThreadAndLevelName) {
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    const CqvLogListener::LogData record(99, "Some::Function", L"text");
    std::unique_ptr<CqvLogListener::LogData> copy;
    std::thread([&] {
        ::Sleep(20);
        copy = std::make_unique<CqvLogListener::LogData>(record);
    }).join();

    const std::wstring& line = record.Format();
    ASSERT_TRUE(HasLogLineHead(line.c_str(), line.size())) << line;
    wchar_t expectedThread[16];
    swprintf(expectedThread, 16, L"|%08X|", static_cast<unsigned int>(::GetCurrentThreadId()));
    EXPECT_EQ(line.substr(23, 10), expectedThread);
    EXPECT_EQ(line.substr(33), L"Undefined  |Some::Function|text");
    EXPECT_EQ(std::stoi(line.substr(0, 4)), before.wYear);
    // The copy, made later on another thread, keeps the creation time and thread.
    EXPECT_EQ(copy->Format(), line);
    EXPECT_EQ(&record.Format(), &line);  // built once, then cached
}

TEST_F(LoggerTest, GetInstanceWithoutPolicyReportsOnlyErrorsToTheEventLog) {
    test::CapturingEventReporter events;
    CqvLog* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = CqvLog::GetInstance(); }).join();
    CqvLog* logger = CqvLog::GetInstance();
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger, fromOtherThread);
    ASSERT_EQ(logger->ListenerCount(), 1);
    EXPECT_EQ(logger->Listener(0)->GetType(), static_cast<unsigned int>(LogTypeEvent));
    EXPECT_EQ(logger->Listener(0)->MinLevel(), 5);
    EXPECT_EQ(logger->Listener(0)->MaxLevel(), 5);

    for (int level = 0; level <= 6; ++level) {
        logger->Log(level, "GetInstance::Test", L"level %d", level);
    }
    const auto recorded = events.Events();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].id, 5u);
    EXPECT_EQ(recorded[0].type, EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(recorded[0].strings.size(), 1u);
    const std::wstring& line = recorded[0].strings[0];
    EXPECT_EQ(line.substr(33), L"Error      |GetInstance::Test|level 5");
}

}  // namespace
}  // namespace Shared
}  // namespace QV
