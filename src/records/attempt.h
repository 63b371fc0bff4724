// What the service decides from the record of its last update attempt. Portable: handed the
// values as read, it touches neither the registry nor the machine.
//
// The record is LastBinFile (the capsule), UpgradeStatus (how the attempt ended), AttemptCount
// (how many times the tool was started for that capsule), AttemptBoot (the boot in which the
// attempt was recorded) and AttemptJudged (a start after that boot has judged it); see
// service_values.h. A journal exists only while they are being changed: it holds them as they
// were, so that a start after a power cut puts them back.
//
// Only the firmware witnesses an outcome: whatever the tool reported, the first start after the
// reboot that follows an attempt reads the running BIOS and judges the attempt by it, once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "records/service_values.h"

namespace attempt {

// The tool is started at most this many times for one capsule, at most once in a run.
inline constexpr std::uint32_t kMaxLaunches = 3;

// The values as stored; nothing for a value that is missing (or of another type).
struct Record {
    std::optional<std::wstring> lastBinFile;
    std::optional<UpgradeStatus> status;
    std::optional<std::uint32_t> attemptCount;
    std::optional<std::wstring> boot;  // AttemptBoot
    std::optional<std::uint32_t> judged;

    bool operator==(const Record& other) const {
        return lastBinFile == other.lastBinFile && status == other.status &&
               attemptCount == other.attemptCount && boot == other.boot && judged == other.judged;
    }
};

// The journal's text: one "name=value" entry per value present, each ended by a zero character
// (a REG_MULTI_SZ without its final zero).
std::wstring FormatJournal(const Record& record);

// The record a journal holds; nothing when |text| is not a journal (an entry without "=", an
// unknown name, a number that does not parse). Text after a first empty entry is ignored.
std::optional<Record> ParseJournal(const std::wstring& text);

// Launches recorded for the capsule in LastBinFile: the stored count, 1 for a record an earlier
// version wrote without one, 0 when no capsule is recorded.
std::uint32_t RecordedLaunches(const Record& record);

// The boot the service runs in, as the judgement sees it.
struct Boot {
    std::wstring identity;  // this boot's identity: another one than AttemptBoot is a reboot
    // For a record an earlier version wrote without AttemptBoot only: the machine started after
    // the service key was last written.
    bool restartedSinceKeyWrite = false;
};

// Whether the machine started again since the attempt on record was recorded.
bool Rebooted(const Record& record, const Boot& boot);

// The UpgradeStatus a start writes before anything else, when the stored one is missing or none
// of 1, 2 and 3 (those wait for the judgement); nothing keeps it.
std::optional<UpgradeStatus> StatusToWriteAtStart(const Record& record);

// What the first start after an attempt's reboot makes of it.
struct StartupVerdict {
    enum class Verification { kNone, kSucceeded, kFailed };
    Verification verification = Verification::kNone;
    std::optional<UpgradeStatus> statusToWrite;  // nothing keeps the stored one
    bool markJudged = false;                     // AttemptJudged is to be written as 1
};

// |installed|: the running BIOS is at least the recorded capsule's version in the three fields
// the BIOS reports (a newer BIOS ends the attempt too). An unjudged attempt (status 1, 2 or 3) is
// judged once, at the first start after a reboot, whatever the tool reported: with the capsule
// installed it succeeded (3, reported), else it failed (2, reported unless a failure of 2 was
// reported already). Until that reboot nothing changes. A judged record is left as it stands.
// A record without AttemptBoot is judged once as an earlier version did: a handed-over flash (1)
// by the BIOS after its reboot, a failure (2) kept for its retry, a completed one (3) cleared.
StartupVerdict JudgeAtStartup(const Record& record, const Boot& boot, bool installed);

// Whether the attempt on record holds every new one: a flash that was handed over (1) or
// reported done (3) and that no start after its reboot has judged yet. Nothing is staged or
// launched over it.
bool HoldsNewAttempts(const Record& record, const Boot& boot);

// Whether the capsule recorded in LastBinFile is due although it is not newer than the last
// attempt: its last attempt failed, so the check decides (DecideCheck) whether it is retried.
bool MayRetry(const Record& record);

// What a check does with a due capsule.
struct CheckVerdict {
    enum class Action { kAttempt, kNotRetrying };
    Action action = Action::kAttempt;
    std::uint32_t attemptCount = 0;  // the AttemptCount of the attempt (kAttempt only)
};

// |record| as read at the check; |isRecordedCapsule|: the capsule is the one in LastBinFile
// (the same file name, wherever it lies); |launchesThisRun|: how often the tool was started for
// it in this run.
CheckVerdict DecideCheck(const Record& record, bool isRecordedCapsule,
                         std::uint32_t launchesThisRun);

}  // namespace attempt
