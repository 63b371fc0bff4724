// What the service decides from the record of its last update attempt. Portable: handed the
// values as read, it touches neither the registry nor the machine.
//
// The record is three values under the service key: LastBinFile (the capsule), UpgradeStatus
// (how the attempt ended) and AttemptCount (how many times the tool was started, or was about to
// be, for that capsule). A fourth value, the journal, exists only while the three are being
// changed: it holds them as they were, so that a start after a power cut puts them back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace attempt {

// The tool is started at most this many times for one capsule, at most once in a run.
inline constexpr std::uint32_t kMaxLaunches = 3;

// UpgradeStatus values.
inline constexpr std::uint32_t kCleared = 0;
inline constexpr std::uint32_t kInProgress = 1;  // started, or waiting for its reboot
inline constexpr std::uint32_t kFailed = 2;
inline constexpr std::uint32_t kDone = 3;

// The three values as stored; nothing for a value that is missing (or of another type).
struct Record {
    std::optional<std::wstring> lastBinFile;
    std::optional<std::uint32_t> status;
    std::optional<std::uint32_t> attemptCount;

    bool operator==(const Record& other) const {
        return lastBinFile == other.lastBinFile && status == other.status &&
               attemptCount == other.attemptCount;
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

// What a start of the service makes of the record it finds.
struct StartupVerdict {
    enum class Verification { kNone, kSucceeded, kFailed };
    Verification verification = Verification::kNone;
    // A flash waits for its reboot: nothing is staged or launched in this run.
    bool pending = false;
    // The UpgradeStatus to write; nothing keeps the stored one.
    std::optional<std::uint32_t> statusToWrite;
};

// |rebooted|: the machine started since the record was written. |installed|: the running BIOS
// is the recorded capsule's version. A flash that was handed over (1) is judged only after a
// reboot; before one it blocks every new attempt. A failure (2) stays on record, so that its
// capsule may be retried; any other status is cleared.
StartupVerdict JudgeAtStartup(const Record& record, bool rebooted, bool installed);

// Whether the capsule recorded in LastBinFile is due although it is not newer than the last
// attempt: its last attempt failed, so the check decides (DecideCheck) whether it is retried.
bool MayRetry(const Record& record);

// What a check does with a due capsule.
struct CheckVerdict {
    enum class Action { kAttempt, kNotRetrying, kFlashPending };
    Action action = Action::kAttempt;
    std::uint32_t attemptCount = 0;  // the AttemptCount of the attempt (kAttempt only)
};

// |record| as read at the check; |isRecordedCapsule|: the capsule is the one in LastBinFile
// (letter case ignored); |launchesThisRun|: how often the tool was started for it in this run;
// |pending|: a flash waits for its reboot.
CheckVerdict DecideCheck(const Record& record, bool isRecordedCapsule,
                         std::uint32_t launchesThisRun, bool pending);

}  // namespace attempt
