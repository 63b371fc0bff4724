#include "records/attempt_record.h"

#include <cwchar>
#include <utility>

#include "records/crash_point.h"
#include "records/service_log.h"
#include "records/service_state.h"
#include "records/service_values.h"
#include "win/unique_handle.h"
#include "win/utf8.h"

namespace {

constexpr wchar_t kWriteString[] = L"WriteServiceString";
constexpr wchar_t kWriteDword[] = L"WriteServiceDword";

// The registry buffers written values lazily: the record must be on disk before the tool runs
// and before the journal that protects it goes.
void FlushServiceKey() {
    HKEY raw = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ, &raw) == ERROR_SUCCESS) {
        const win::UniqueRegKey key(raw);
        ::RegFlushKey(key.Get());
    }
}

std::optional<std::uint32_t> ReadDword(const char* name) {
    DWORD value = 0;
    if (!ReadServiceDword(name, &value)) {
        return std::nullopt;
    }
    return value;
}

// The journal's text; nothing when there is no journal (or it is no REG_MULTI_SZ).
std::optional<std::wstring> ReadJournal() {
    const std::wstring name = win::Utf8ToWide(kAttemptJournalValueName);
    const std::wstring key = win::Utf8ToWide(kServiceKeyPath);
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_MULTI_SZ, nullptr,
                       nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_MULTI_SZ, nullptr,
                       &text[0], &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return text;
}

DWORD WriteJournal(const attempt::Record& record) {
    EnsureServiceKey();
    HKEY raw = nullptr;
    LONG status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_SET_VALUE, &raw);
    if (status != ERROR_SUCCESS) {
        return static_cast<DWORD>(status);
    }
    const win::UniqueRegKey key(raw);
    // A REG_MULTI_SZ ends with an empty entry; an empty record is that empty entry alone.
    std::wstring text = attempt::FormatJournal(record);
    text.push_back(L'\0');
    if (text.size() < 2) {
        text.push_back(L'\0');
    }
    status = ::RegSetValueExW(key.Get(), win::Utf8ToWide(kAttemptJournalValueName).c_str(), 0,
                              REG_MULTI_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() * sizeof(wchar_t)));
    return static_cast<DWORD>(status);
}

DWORD DeleteJournal() {
    return DeleteServiceValue(kAttemptJournalValueName) ? ERROR_SUCCESS : ::GetLastError();
}

std::optional<std::wstring> ReadString(const char* name) {
    std::wstring text;
    if (!ReadServiceString(name, text)) {
        return std::nullopt;
    }
    return std::wstring(text.c_str());  // the text up to its first zero
}

// Writes the values of |record|, deleting the ones it lacks.
void PutBack(const attempt::Record& record) {
    const std::pair<const char*, const std::optional<std::wstring>*> strings[] = {
        {kLastBinFileValueName, &record.lastBinFile}, {kAttemptBootValueName, &record.boot}};
    for (const auto& [name, value] : strings) {
        if (*value) {
            WriteServiceString(name, **value);
        } else {
            DeleteServiceValue(name);
        }
    }
    std::optional<std::uint32_t> status;
    if (record.status) {
        status = static_cast<std::uint32_t>(*record.status);
    }
    const std::pair<const char*, const std::optional<std::uint32_t>*> dwords[] = {
        {kAttemptCountValueName, &record.attemptCount},
        {kAttemptJudgedValueName, &record.judged},
        {kUpgradeStatusValueName, &status}};
    for (const auto& [name, value] : dwords) {
        if (*value) {
            WriteServiceDword(name, **value);
        } else {
            DeleteServiceValue(name);
        }
    }
}

}  // namespace

StoredAttempt ReadAttemptRecord() {
    StoredAttempt stored;
    attempt::Record& record = stored.record;
    record.lastBinFile = ReadString(kLastBinFileValueName);
    if (!record.lastBinFile) {
        stored.lastBinFileError = ::GetLastError();
    }
    if (const auto status = ReadDword(kUpgradeStatusValueName)) {
        record.status = static_cast<UpgradeStatus>(*status);
    }
    record.attemptCount = ReadDword(kAttemptCountValueName);
    record.boot = ReadString(kAttemptBootValueName);
    record.judged = ReadDword(kAttemptJudgedValueName);
    return stored;
}

bool MarkAttemptJudged() {
    return WriteServiceDword(kAttemptJudgedValueName, 1);
}

bool RecoverAttemptRecord() {
    const std::optional<std::wstring> journal = ReadJournal();
    if (!journal) {
        return false;
    }
    if (const std::optional<attempt::Record> previous = attempt::ParseJournal(*journal)) {
        PutBack(*previous);
        Log(L"ServiceLoop : interrupted attempt found, record restored");
    } else {
        Log(L"ServiceLoop : unreadable attempt journal deleted");
    }
    DeleteJournal();
    FlushServiceKey();
    return true;
}

AttemptRecorder::AttemptRecorder(std::wstring capsule, std::uint32_t attemptCount,
                                 std::wstring boot)
    : capsule_(std::move(capsule)), attemptCount_(attemptCount), boot_(std::move(boot)) {}

DWORD AttemptRecorder::Record(const wchar_t*& failedWriter) {
    previous_ = ReadAttemptRecord().record;
    Log(L"ServiceLoop : update registry[LastBinFile]");
    failedWriter = kWriteString;
    DWORD error = WriteJournal(previous_);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    recorded_ = true;  // from here on, a failure puts the values back
    if (!WriteServiceString(kLastBinFileValueName, capsule_)) {
        error = ::GetLastError();
    } else {
        ReachCrashPoint(CrashPoint::kRecording);
        failedWriter = kWriteDword;
        if (!WriteServiceDword(kAttemptCountValueName, attemptCount_) ||
            !DeleteServiceValue(kAttemptJudgedValueName)) {
            error = ::GetLastError();
        } else if (failedWriter = kWriteString; !WriteServiceString(kAttemptBootValueName, boot_)) {
            error = ::GetLastError();
        } else if (failedWriter = kWriteDword; !WriteServiceDword(
                       kUpgradeStatusValueName, static_cast<DWORD>(UpgradeStatus::kInProgress))) {
            error = ::GetLastError();
        }
    }
    if (error != ERROR_SUCCESS) {
        Withdraw();
        return error;
    }
    FlushServiceKey();
    return ERROR_SUCCESS;
}

AttemptRecorder::~AttemptRecorder() {
    if (recorded_ && !committed_) {
        try {
            Withdraw();
        } catch (...) {
            // The journal is still there: the next start puts the values back.
        }
    }
}

DWORD AttemptRecorder::Commit() {
    const DWORD error = DeleteJournal();
    FlushServiceKey();
    committed_ = error == ERROR_SUCCESS;
    return error;
}

void AttemptRecorder::Withdraw() {
    if (!recorded_) {
        return;
    }
    recorded_ = false;
    if (WriteJournal(previous_) != ERROR_SUCCESS) {
        // Without a journal an interruption would leave a mixed record; the values are still
        // put back, which is all that can be done.
        Log(L"Unable to write the attempt journal before restoring the record");
    }
    PutBack(previous_);
    DeleteJournal();
    FlushServiceKey();
}
