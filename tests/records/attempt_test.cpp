// What the service decides from the record of its last attempt: at start-up, at each check, and
// from the journal an interrupted change leaves.
#include "records/attempt.h"

#include <gtest/gtest.h>

namespace {

using attempt::Boot;
using attempt::CheckVerdict;
using attempt::Record;
using attempt::StartupVerdict;
using Verification = StartupVerdict::Verification;
using Action = CheckVerdict::Action;
using Count = std::optional<std::uint32_t>;
using Status = std::optional<UpgradeStatus>;
using Text = std::optional<std::wstring>;

constexpr UpgradeStatus k0 = UpgradeStatus::kCleared, k1 = UpgradeStatus::kInProgress,
                        k2 = UpgradeStatus::kFailed, k3 = UpgradeStatus::kDone;
const std::wstring kCapsule = L"C:\\Windows\\Firmware\\pkg\\ABC_01130000.bin";

// A record naming the capsule; nullopt fields are missing values (an earlier version wrote
// neither AttemptCount nor AttemptBoot).
Record Recorded(Status status, Count count, Text boot = L"A", Count judged = {}) {
    return Record{kCapsule, status, count, boot, judged};
}

TEST(AttemptTest, OnlyTheBiosAfterTheRebootJudgesAnAttempt) {
    constexpr Verification kNone = Verification::kNone, kOk = Verification::kSucceeded,
                           kBad = Verification::kFailed;
    const struct {
        const char* label;
        Record record;
        const wchar_t* boot;          // this boot's identity
        bool restartedSinceKeyWrite;  // the clock's witness, for an earlier version's record
        bool installed;
        Verification verification;
        Status statusToWrite;
        bool markJudged, holds;
    } cases[] = {
        // clang-format off
        {"handed over, same boot", Recorded(k1, 1), L"A", false, true, kNone, {}, false, true},
        {"clock stepped ahead", Recorded(k1, 1), L"A", true, true, kNone, {}, false, true},
        {"rebooted, later in its uptime", Recorded(k1, 2), L"B", false, true, kOk, k3, true, false},
        {"handed over, old BIOS", Recorded(k1, 1), L"B", false, false, kBad, k2, true, false},
        {"done, same boot", Recorded(k3, 1), L"A", false, false, kNone, {}, false, true},
        {"done, old BIOS", Recorded(k3, 1), L"B", true, false, kBad, k2, true, false},
        {"done, installed", Recorded(k3, 1), L"B", true, true, kOk, {}, true, false},
        {"failed, installed", Recorded(k2, 1), L"B", false, true, kOk, k3, true, false},
        {"failed, not installed", Recorded(k2, 1), L"B", false, false, kNone, {}, true, false},
        {"failed, same boot", Recorded(k2, 1), L"A", false, false, kNone, {}, false, false},
        {"judged already", Recorded(k3, 1, L"A", 1), L"B", true, false, kNone, {}, false, false},
        {"earlier flash, restarted", Recorded(k1, {}, {}), L"B", true, true, kOk, k3, true, false},
        {"earlier flash, no reboot", Recorded(k1, {}, {}), L"B", false, true, kNone, {}, false, true},
        {"earlier success", Recorded(k3, {}, {}), L"B", true, false, kNone, k0, true, false},
        {"earlier failure kept", Recorded(k2, {}, {}), L"B", true, false, kNone, {}, true, false},
        {"cleared", Recorded(k0, 1), L"B", true, false, kNone, {}, false, false},
        {"no record", Record{}, L"B", true, false, kNone, {}, false, false},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Boot boot{c.boot, c.restartedSinceKeyWrite};
        const StartupVerdict verdict = attempt::JudgeAtStartup(c.record, boot, c.installed);
        EXPECT_EQ(verdict.verification, c.verification);
        EXPECT_EQ(verdict.statusToWrite, c.statusToWrite);
        EXPECT_EQ(verdict.markJudged, c.markJudged);
        EXPECT_EQ(attempt::HoldsNewAttempts(c.record, boot), c.holds);
    }
    // A start clears only a status that names no attempt.
    const std::pair<Status, Status> cleared[] = {
        {{}, k0}, {UpgradeStatus{7}, k0}, {k0, {}}, {k1, {}}, {k2, {}}, {k3, {}}};
    for (const auto& [stored, written] : cleared) {
        EXPECT_EQ(attempt::StatusToWriteAtStart(Recorded(stored, 1)), written);
    }
}

TEST(AttemptTest, AFailedCapsuleIsRetriedOncePerRunUpToThreeLaunches) {
    const struct {
        const char* label;
        Record record;
        bool isRecorded;  // the due capsule is the one in LastBinFile
        std::uint32_t launchesThisRun;
        bool mayRetry;  // lets "not newer than the last attempt" through to the retry rule
        Action action;
        std::uint32_t attemptCount;
    } cases[] = {
        // clang-format off
        {"new capsule", Recorded(k3, 2), false, 0, false, Action::kAttempt, 1},
        {"first retry", Recorded(k2, 1), true, 0, true, Action::kAttempt, 2},
        {"earlier version's failure", Recorded(k2, {}), true, 0, true, Action::kAttempt, 2},
        {"last retry", Recorded(k2, 2), true, 0, true, Action::kAttempt, 3},
        {"three launches", Recorded(k2, 3), true, 0, true, Action::kNotRetrying, 0},
        {"corrupt count", Recorded(k2, 0xFFFFFFFF), true, 0, true, Action::kNotRetrying, 0},
        {"failed in this run", Recorded(k2, 1), true, 1, true, Action::kNotRetrying, 0},
        {"newer after a failure", Recorded(k2, 3), false, 0, true, Action::kAttempt, 1},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(attempt::MayRetry(c.record), c.mayRetry);
        const CheckVerdict verdict =
            attempt::DecideCheck(c.record, c.isRecorded, c.launchesThisRun);
        EXPECT_EQ(verdict.action, c.action);
        EXPECT_EQ(verdict.attemptCount, c.attemptCount);
    }
    EXPECT_FALSE(attempt::MayRetry(Record{{}, k2, 1, {}, {}}));  // no capsule to retry
}

TEST(AttemptTest, JournalKeepsTheRecordAsItWasAndRefusesAnythingElse) {
    const Record records[] = {
        Recorded(k2, 1, L"{0C2A}", 1),
        Record{L"C:\\a=b\\ABC_01130000.bin", {}, 3, {}, {}},  // a path may hold "="
        Record{L"", k0, 0xFFFFFFFF, L"", 0},                  // the largest count there is
        Record{},  // nothing was recorded: restoring deletes the values
    };
    for (const Record& record : records) {
        const std::wstring text = attempt::FormatJournal(record);
        EXPECT_EQ(attempt::ParseJournal(text), record) << text.size();
        EXPECT_EQ(attempt::ParseJournal(text + L'\0' + L"garbage"), record);  // ends at "\0\0"
    }
    const wchar_t journal[] = L"UpgradeStatus=1\0AttemptCount=2\0AttemptBoot=B\0AttemptJudged=1\0";
    EXPECT_EQ(attempt::FormatJournal(Recorded(k1, 2, L"B", 1)),
              L"LastBinFile=" + kCapsule + L'\0' + std::wstring(journal, std::size(journal) - 1));
    const std::wstring corrupt[] = {
        std::wstring(L"UpgradeStatus=x\0", 16), std::wstring(L"AttemptCount=99999999999\0", 25),
        std::wstring(L"Other=1\0", 8),          std::wstring(L"LastBinFile\0", 12),
        std::wstring(L"UpgradeStatus=\0", 15),  std::wstring(L"AttemptJudged=-1\0", 17)};
    for (const std::wstring& text : corrupt) {
        EXPECT_FALSE(attempt::ParseJournal(text)) << text.size();
    }
    EXPECT_EQ(attempt::RecordedLaunches(Record{{}, k2, 2, {}, {}}), 0u);  // no capsule named
}

}  // namespace
