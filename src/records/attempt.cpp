#include "records/attempt.h"

#include <algorithm>
#include <limits>

namespace attempt {
namespace {

constexpr wchar_t kLastBinFile[] = L"LastBinFile";
constexpr wchar_t kStatus[] = L"UpgradeStatus";
constexpr wchar_t kCount[] = L"AttemptCount";

void AppendEntry(std::wstring& text, const wchar_t* name, const std::wstring& value) {
    text.append(name).append(L"=").append(value).push_back(L'\0');
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

}  // namespace

std::wstring FormatJournal(const Record& record) {
    std::wstring text;
    if (record.lastBinFile) {
        AppendEntry(text, kLastBinFile, *record.lastBinFile);
    }
    if (record.status) {
        AppendEntry(text, kStatus, std::to_wstring(*record.status));
    }
    if (record.attemptCount) {
        AppendEntry(text, kCount, std::to_wstring(*record.attemptCount));
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
        if (name == kLastBinFile) {
            record.lastBinFile = value;
        } else if (name == kStatus || name == kCount) {
            const auto number = ParseNumber(value);
            if (!number) {
                return std::nullopt;
            }
            (name == kStatus ? record.status : record.attemptCount) = number;
        } else {
            return std::nullopt;
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

StartupVerdict JudgeAtStartup(const Record& record, bool rebooted, bool installed) {
    StartupVerdict verdict;
    const std::uint32_t status = record.status.value_or(kCleared);
    if (record.status && status == kInProgress) {
        if (!rebooted) {
            verdict.pending = true;
            return verdict;
        }
        verdict.verification = installed ? StartupVerdict::Verification::kSucceeded
                                         : StartupVerdict::Verification::kFailed;
        verdict.statusToWrite = installed ? kDone : kFailed;
        return verdict;
    }
    if (!record.status || status != kFailed) {
        verdict.statusToWrite = kCleared;
    }
    return verdict;
}

bool MayRetry(const Record& record) {
    return record.status == kFailed && record.lastBinFile.has_value();
}

CheckVerdict DecideCheck(const Record& record, bool isRecordedCapsule,
                         std::uint32_t launchesThisRun, bool pending) {
    CheckVerdict verdict;
    if (pending) {
        verdict.action = CheckVerdict::Action::kFlashPending;
        return verdict;
    }
    const std::uint32_t recorded = isRecordedCapsule ? RecordedLaunches(record) : 0;
    if (launchesThisRun > 0 ||
        (isRecordedCapsule && record.status == kFailed && recorded >= kMaxLaunches)) {
        verdict.action = CheckVerdict::Action::kNotRetrying;
        return verdict;
    }
    verdict.attemptCount = std::min(recorded, std::numeric_limits<std::uint32_t>::max() - 1) + 1;
    return verdict;
}

}  // namespace attempt
