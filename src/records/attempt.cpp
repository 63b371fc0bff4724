#include "records/attempt.h"

#include <algorithm>
#include <limits>

namespace attempt {
namespace {

// The journal names each value as the registry does.
std::wstring Wide(const char* name) {
    return std::wstring(name, name + std::char_traits<char>::length(name));
}

void AppendEntry(std::wstring& text, const char* name, const std::wstring& value) {
    text.append(Wide(name)).append(L"=").append(value).push_back(L'\0');
}

// A decimal number of at most ten digits that fits 32 bits.
std::optional<std::uint32_t> ParseNumber(const std::wstring& text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        return std::nullopt;
    }
    const unsigned long long value = std::stoull(text);
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool Is(const Record& record, UpgradeStatus status) {
    return record.status == status;
}

bool IsJudged(const Record& record) {
    return record.judged == 1u;
}

// A status the judgement looks at: 1, 2 or 3.
bool IsAttemptStatus(const Record& record) {
    return Is(record, UpgradeStatus::kInProgress) || Is(record, UpgradeStatus::kFailed) ||
           Is(record, UpgradeStatus::kDone);
}

}  // namespace

std::wstring FormatJournal(const Record& record) {
    std::wstring text;
    if (record.lastBinFile) {
        AppendEntry(text, kLastBinFileValueName, *record.lastBinFile);
    }
    if (record.status) {
        AppendEntry(text, kUpgradeStatusValueName,
                    std::to_wstring(static_cast<std::uint32_t>(*record.status)));
    }
    if (record.attemptCount) {
        AppendEntry(text, kAttemptCountValueName, std::to_wstring(*record.attemptCount));
    }
    if (record.boot) {
        AppendEntry(text, kAttemptBootValueName, *record.boot);
    }
    if (record.judged) {
        AppendEntry(text, kAttemptJudgedValueName, std::to_wstring(*record.judged));
    }
    return text;
}

std::optional<Record> ParseJournal(const std::wstring& text) {
    Record record;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring entry = text.substr(start, end - start);
        if (entry.empty()) {
            break;
        }
        // A path may hold "=", a name never does.
        const size_t separator = entry.find(L'=');
        if (separator == std::wstring::npos) {
            return std::nullopt;
        }
        const std::wstring name = entry.substr(0, separator);
        const std::wstring value = entry.substr(separator + 1);
        if (name == Wide(kLastBinFileValueName)) {
            record.lastBinFile = value;
        } else if (name == Wide(kAttemptBootValueName)) {
            record.boot = value;
        } else {
            std::optional<std::uint32_t>* number = nullptr;
            std::optional<std::uint32_t> status;
            if (name == Wide(kUpgradeStatusValueName)) {
                number = &status;
            } else if (name == Wide(kAttemptCountValueName)) {
                number = &record.attemptCount;
            } else if (name == Wide(kAttemptJudgedValueName)) {
                number = &record.judged;
            } else {
                return std::nullopt;
            }
            *number = ParseNumber(value);
            if (!*number) {
                return std::nullopt;
            }
            if (status) {
                record.status = static_cast<UpgradeStatus>(*status);
            }
        }
        start = end + 1;
    }
    return record;
}

std::uint32_t RecordedLaunches(const Record& record) {
    if (!record.lastBinFile) {
        return 0;
    }
    return record.attemptCount.value_or(1);
}

bool Rebooted(const Record& record, const Boot& boot) {
    return record.boot ? *record.boot != boot.identity : boot.restartedSinceKeyWrite;
}

std::optional<UpgradeStatus> StatusToWriteAtStart(const Record& record) {
    if (IsAttemptStatus(record) || Is(record, UpgradeStatus::kCleared)) {
        return std::nullopt;
    }
    return UpgradeStatus::kCleared;
}

StartupVerdict JudgeAtStartup(const Record& record, const Boot& boot, bool installed) {
    using Verification = StartupVerdict::Verification;
    StartupVerdict verdict;
    if (IsJudged(record) || !IsAttemptStatus(record)) {
        return verdict;
    }
    const bool handedOver = Is(record, UpgradeStatus::kInProgress);
    if (!record.boot && !handedOver) {
        // An earlier version's record: its failure waits for the retry rule, its success was
        // reported when the tool ended.
        if (Is(record, UpgradeStatus::kDone)) {
            verdict.statusToWrite = UpgradeStatus::kCleared;
        }
        verdict.markJudged = true;
        return verdict;
    }
    if (!Rebooted(record, boot)) {
        return verdict;
    }
    verdict.markJudged = true;
    if (installed) {
        verdict.verification = Verification::kSucceeded;
        if (!Is(record, UpgradeStatus::kDone)) {
            verdict.statusToWrite = UpgradeStatus::kDone;
        }
    } else if (!Is(record, UpgradeStatus::kFailed)) {
        verdict.verification = Verification::kFailed;
        verdict.statusToWrite = UpgradeStatus::kFailed;
    }
    return verdict;
}

bool HoldsNewAttempts(const Record& record, const Boot& boot) {
    const bool awaited =
        Is(record, UpgradeStatus::kInProgress) || (record.boot && Is(record, UpgradeStatus::kDone));
    return awaited && !IsJudged(record) && !Rebooted(record, boot);
}

bool MayRetry(const Record& record) {
    return Is(record, UpgradeStatus::kFailed) && record.lastBinFile.has_value();
}

CheckVerdict DecideCheck(const Record& record, bool isRecordedCapsule,
                         std::uint32_t launchesThisRun) {
    CheckVerdict verdict;
    const std::uint32_t recorded = isRecordedCapsule ? RecordedLaunches(record) : 0;
    if (launchesThisRun > 0 ||
        (isRecordedCapsule && Is(record, UpgradeStatus::kFailed) && recorded >= kMaxLaunches)) {
        verdict.action = CheckVerdict::Action::kNotRetrying;
        return verdict;
    }
    verdict.attemptCount = std::min(recorded, std::numeric_limits<std::uint32_t>::max() - 1) + 1;
    return verdict;
}

}  // namespace attempt
