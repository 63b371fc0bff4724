// What the service decides from the record of its last attempt: at start-up, at each check, and
// from the journal an interrupted change leaves.
#include "records/attempt.h"

#include <gtest/gtest.h>

namespace {

using attempt::CheckVerdict;
using attempt::Record;
using attempt::StartupVerdict;
using Verification = StartupVerdict::Verification;
using Action = CheckVerdict::Action;
using Count = std::optional<std::uint32_t>;

const std::wstring kCapsule = L"C:\\Windows\\Firmware\\pkg\\ABC_01130000.bin";

// A record naming the capsule; nullopt fields are missing values (an earlier version wrote no
// AttemptCount).
Record Recorded(Count status, Count count) {
    return Record{kCapsule, status, count};
}

TEST(AttemptTest, StartUpJudgesAHandedOverFlashOnlyAfterAReboot) {
    const struct {
        const char* row;
        Record record;
        bool rebooted;
        bool installed;
        Verification verification;
        bool pending;
        Count statusToWrite;
    } cases[] = {
        {"pending, no reboot", Recorded(1, 1), false, true, Verification::kNone, true, {}},
        {"pending, new BIOS", Recorded(1, 2), true, true, Verification::kSucceeded, false, 3},
        {"pending, old BIOS", Recorded(1, 1), true, false, Verification::kFailed, false, 2},
        {"failed stays for its retry", Recorded(2, 1), true, false, Verification::kNone, false, {}},
        {"done is cleared", Recorded(3, 1), false, true, Verification::kNone, false, 0},
        {"no record", Record{}, true, false, Verification::kNone, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        const StartupVerdict verdict = attempt::JudgeAtStartup(c.record, c.rebooted, c.installed);
        EXPECT_EQ(verdict.verification, c.verification);
        EXPECT_EQ(verdict.pending, c.pending);
        EXPECT_EQ(verdict.statusToWrite, c.statusToWrite);
    }
}

TEST(AttemptTest, AFailedCapsuleIsRetriedOncePerRunUpToThreeLaunches) {
    const struct {
        const char* row;
        Record record;
        bool isRecorded;  // the due capsule is the one in LastBinFile
        std::uint32_t launchesThisRun;
        bool pending;
        bool mayRetry;  // lets "not newer than the last attempt" through to the retry rule
        Action action;
        std::uint32_t attemptCount;
    } cases[] = {
        {"new capsule", Recorded(3, 2), false, 0, false, false, Action::kAttempt, 1},
        {"first retry", Recorded(2, 1), true, 0, false, true, Action::kAttempt, 2},
        {"earlier version's failure", Recorded(2, {}), true, 0, false, true, Action::kAttempt, 2},
        {"last retry", Recorded(2, 2), true, 0, false, true, Action::kAttempt, 3},
        {"three launches", Recorded(2, 3), true, 0, false, true, Action::kNotRetrying, 0},
        {"corrupt count", Recorded(2, 0xFFFFFFFF), true, 0, false, true, Action::kNotRetrying, 0},
        {"failed in this run", Recorded(2, 1), true, 1, false, true, Action::kNotRetrying, 0},
        {"newer after a failure", Recorded(2, 3), false, 0, false, true, Action::kAttempt, 1},
        {"flash waits for reboot", Recorded(1, 1), false, 0, true, false, Action::kFlashPending, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(attempt::MayRetry(c.record), c.mayRetry);
        const CheckVerdict verdict =
            attempt::DecideCheck(c.record, c.isRecorded, c.launchesThisRun, c.pending);
        EXPECT_EQ(verdict.action, c.action);
        if (c.action == Action::kAttempt) {
            EXPECT_EQ(verdict.attemptCount, c.attemptCount);
        }
    }
    EXPECT_FALSE(attempt::MayRetry(Record{{}, 2, 1}));  // no capsule to retry
}

TEST(AttemptTest, JournalKeepsTheRecordAsItWasAndRefusesAnythingElse) {
    const Record records[] = {
        Recorded(2, 1), Record{L"C:\\a=b\\ABC_01130000.bin", {}, 3},  // a path may hold "="
        Record{L"", 0, 0xFFFFFFFF},                                   // the largest count there is
        Record{},  // nothing was recorded: restoring deletes the three values
    };
    for (const Record& record : records) {
        const std::wstring text = attempt::FormatJournal(record);
        EXPECT_EQ(attempt::ParseJournal(text), record) << text.size();
        EXPECT_EQ(attempt::ParseJournal(text + L'\0' + L"garbage"), record);  // ends at "\0\0"
    }
    const std::wstring corrupt[] = {
        std::wstring(L"UpgradeStatus=x\0", 16), std::wstring(L"AttemptCount=99999999999\0", 25),
        std::wstring(L"Other=1\0", 8), std::wstring(L"LastBinFile\0", 12),
        std::wstring(L"UpgradeStatus=\0", 15)};
    for (const std::wstring& text : corrupt) {
        EXPECT_FALSE(attempt::ParseJournal(text)) << text.size();
    }
    EXPECT_EQ(attempt::RecordedLaunches(Record{{}, 2, 2}), 0u);  // no capsule named
}

}  // namespace
