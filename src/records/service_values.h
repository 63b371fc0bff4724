// The values the service keeps under its registry key
// (HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QvNyxService\): their names, as the
// registry calls take them (narrow, ASCII), and what UpgradeStatus holds. Portable.
//
//   LastBinFile    (REG_SZ)        the capsule the last attempt used, as the search found it
//   UpgradeStatus  (REG_DWORD)     how that attempt ended (UpgradeStatus below)
//   AttemptCount   (REG_DWORD)     how many times the tool was started for that capsule
//   AttemptBoot    (REG_SZ)        the identity of the boot in which the attempt was recorded
//   AttemptJudged  (REG_DWORD)     1 once a start after that boot has judged the attempt
//   AttemptJournal (REG_MULTI_SZ)  only while the others change: the values as they were
#pragma once

#include <cstdint>

inline constexpr char kLastBinFileValueName[] = "LastBinFile";
inline constexpr char kUpgradeStatusValueName[] = "UpgradeStatus";
inline constexpr char kAttemptCountValueName[] = "AttemptCount";
inline constexpr char kAttemptBootValueName[] = "AttemptBoot";
inline constexpr char kAttemptJudgedValueName[] = "AttemptJudged";
inline constexpr char kAttemptJournalValueName[] = "AttemptJournal";

// The values UpgradeStatus holds. A stored value outside these reads as itself and matches none.
enum class UpgradeStatus : std::uint32_t {
    kCleared = 0,     // no attempt under way
    kInProgress = 1,  // the tool was started, or finished and asked for a restart
    kFailed = 2,      // the tool failed, or the restart did not bring the capsule's version
    kDone = 3,        // the tool reported the flash done, or the restart brought the capsule
};
