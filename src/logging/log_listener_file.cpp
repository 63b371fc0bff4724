#include "logging/log_listener_file.h"

#include <aclapi.h>
#include <io.h>
#include <process.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "logging/log_file_names.h"
#include "logging/log_policy.h"
#include "win/event_reporter.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {
namespace {

constexpr wchar_t kOpenMode[] = L"a+,ccs=UTF-8";
constexpr int kDefaultMaxLogSize = 2048;  // KiB
constexpr int kFolderFlags = CSIDL_APPDATA | CSIDL_FLAG_CREATE;
// What the queue holds before it first grows: room for some hundred lines.
constexpr size_t kQueueChars = 64 * 1024;
constexpr size_t kQueueLines = 512;
// Less than the stream's buffer (4 KiB), so that every piece passes through that buffer; see
// WriteBatch.
constexpr size_t kWritePieceChars = 1024;

// Holds a critical section; leaves it on every way out, also when an exception passes.
class SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : section_(section) { Lock(); }
    ~SectionLock() {
        if (held_) {
            ::LeaveCriticalSection(&section_);
        }
    }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

    void Lock() {
        ::EnterCriticalSection(&section_);
        held_ = true;
    }
    void Unlock() {
        held_ = false;
        ::LeaveCriticalSection(&section_);
    }

private:
    CRITICAL_SECTION& section_;
    bool held_ = false;
};

std::uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// "MaxLogSize" of the module key when set and not 0, else of the product key, else 2048.
// Values beyond the signed 32-bit range count as the largest size.
int ReadMaxLogSize(HKEY productKey, HKEY moduleKey) {
    DWORD value = 0;
    if (!(ReadPolicyDword(moduleKey, L"MaxLogSize", value) && value != 0) &&
        !ReadPolicyDword(productKey, L"MaxLogSize", value)) {
        value = 0;
    }
    if (value == 0) {
        return kDefaultMaxLogSize;
    }
    return value > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(value);
}

// Only SYSTEM and Administrators may open the mutex: anyone who can hold it can stall every
// writer of the file, and so the service's logging.
constexpr wchar_t kMutexSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// The function name of the events the file listener reports about itself.
constexpr char kListenerFunction[] = "QV::Shared::CqvLogListenerFile";

// Whether |sid| is the user of |token| or the owner it gives the objects it creates.
bool IsTokenAccount(HANDLE token, PSID sid) {
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        // Room for either structure with the largest SID.
        alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (::GetTokenInformation(token, kind, buffer, sizeof(buffer), &size)) {
            const PSID account = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                                   : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
            if (::EqualSid(account, sid)) {
                return true;
            }
        }
    }
    return false;
}

// The owner of the kernel object |object| as text ("S-1-5-18"), and whether it may be trusted
// with the log file: SYSTEM, Administrators, or this process's own account (its user, or the
// owner of what it creates). An object without an owner, or whose owner cannot be read, is
// not trusted.
bool HasTrustedOwner(HANDLE object, std::wstring& ownerText) {
    PSID owner = nullptr;
    win::UniqueHLocal descriptor;
    const DWORD error = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, descriptor.Put());
    if (error != ERROR_SUCCESS) {
        ownerText = L"an owner that cannot be read (error " + std::to_wstring(error) + L")";
        return false;
    }
    LPWSTR rawText = nullptr;
    if (owner == nullptr || !::IsValidSid(owner) || !::ConvertSidToStringSidW(owner, &rawText)) {
        ownerText = L"no one";
        return false;
    }
    const win::UniqueHLocal text(rawText);
    ownerText = rawText;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
        ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    win::UniqueHandle token;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
           IsTokenAccount(token.Get(), owner);
}

// Creates the mutex |name| for SYSTEM and Administrators only, or opens the existing one when
// its owner is trusted (HasTrustedOwner). Otherwise returns no mutex, with |problem| saying why.
win::UniqueHandle CreateLogMutex(const std::wstring& name, std::wstring& problem) {
    win::UniqueHLocal descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1,
                                                                descriptor.Put(), nullptr)) {
        const DWORD error = ::GetLastError();
        problem = L"ConvertStringSecurityDescriptorToSecurityDescriptorW failed, error " +
                  std::to_wstring(error);
        return {};
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    win::UniqueHandle mutex(::CreateMutexW(&attributes, FALSE, name.c_str()));
    const DWORD error = ::GetLastError();
    if (!mutex) {
        problem = L"CreateMutexW of " + name + L" failed, error " + std::to_wstring(error);
        return {};
    }
    std::wstring owner;
    // Made by someone else first: the security given above does not apply.
    if (error == ERROR_ALREADY_EXISTS && !HasTrustedOwner(mutex.Get(), owner)) {
        problem = L"its mutex " + name + L" belongs to " + owner +
                  L", not to SYSTEM, Administrators or this account";
        return {};
    }
    return mutex;
}

}  // namespace

// The file side of a listener and its queue. The listener and the writer thread it starts
// share it, so a writer that outlives the listener's bounded wait still finds it whole.
class LogFile : public std::enable_shared_from_this<LogFile> {
public:
    // The lines waiting for the writer thread, oldest first. A queued record costs no
    // allocation of its own: its formatted line and "\n" are appended to |text| and the end
    // of the line to |lineEnds|, whose capacity the writer hands back after each batch.
    struct WriteQueue {
        std::wstring text;
        std::vector<size_t> lineEnds;  // offset in |text| just after each line's "\n"
        int count = 0;                 // lines in |text|
        bool running = false;
        win::UniqueHandle thread;  // the last writer started, finished or not
        CRITICAL_SECTION lock;     // guards every field above
        // The batch being written: swapped with |text| and |lineEnds| under the lock, then
        // used only by the running writer, and empty (with its capacity kept) whenever no
        // writer runs.
        std::wstring batchText;
        std::vector<size_t> batchEnds;

        // Empties the written batch. Buffers that a burst grew far beyond their usual size
        // are given back, so an idle service does not keep the burst's memory.
        void ReleaseBatch();
    };

    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Takes the file (see CqvLogListenerFile::Open); |timedOut| tells whether it failed
    // because the mutex stayed held elsewhere.
    bool Open(bool& timedOut);
    bool Open() {
        bool timedOut = false;
        return Open(timedOut);
    }
    void Close();
    // Counts |count| lines lost to a wait for the mutex that timed out, and reports the first
    // loss of the listener's life (see CqvLogListenerFile::LostLines).
    void LoseLines(std::uint64_t count) noexcept;
    // Reports |message| to the event log under the module's name, as the event listener reports
    // a record of |level|.
    void Report(int level, const std::wstring& message) const noexcept;
    // Writes one record and CR LF into the file taken by Open, first checking the size when
    // the write counter says so. Writes nothing when the file is not open.
    void WriteEntry(const CqvLogListener::LogData& data);
    bool RotateIfNeeded(bool force);
    bool FindLogPath(const std::wstring& fileName);
    bool HasForeignHead();
    // Sets up an empty queue.
    void StartQueue();
    // Appends one line to the queue and starts a writer when none runs.
    void Queue(const std::wstring& line);
    bool WaitUntilWritten(DWORD timeoutMs);
    // The bounded wait of the listener's destruction; see ~CqvLogListenerFile.
    void StopQueue();

    wchar_t path[MAX_PATH] = {};
    int maxLogSize = -1;
    // 64 bits: it starts above MaxLogSize * 10, which need not fit in 32 bits.
    std::int64_t writeCounter = 0;
    win::UniqueHandle mutex;
    std::unique_ptr<WriteQueue> queue;
    // The module's base name: the event source of Report.
    std::wstring sourceName;
    std::atomic<std::uint64_t> lostLines{0};

private:
    static unsigned int __stdcall WriterThread(void* argument);
    // Whether the next counted line checks the size first.
    bool SizeCheckDue() const;
    // Counts one line and, when due, checks the size and rotates; the caller holds the file.
    void CountWrite();
    // Writes the queued lines of one batch (each ending in "\n") into the file taken by Open.
    void WriteBatch(const std::wstring& text, const std::vector<size_t>& lineEnds);

    win::UniqueStdioFile file;
    // Whether this object holds the mutex (between a successful Open and its Close). Read
    // and written only by the thread that holds the mutex.
    bool mutexHeld = false;
    // Whether the last wait for the mutex timed out: until a wait gets it again, Open does
    // not wait.
    std::atomic<bool> stalled{false};
    std::atomic<bool> lossReported{false};
};

// Closes the file and releases the mutex when the scope ends, also on an exception.
class OpenFile {
public:
    explicit OpenFile(LogFile& log) : log_(log), open_(log.Open(timedOut_)) {}
    ~OpenFile() {
        if (open_) {
            log_.Close();
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    explicit operator bool() const { return open_; }
    // Whether the file could not be taken because the mutex stayed held elsewhere.
    bool TimedOut() const { return timedOut_; }

private:
    LogFile& log_;
    bool timedOut_ = false;
    const bool open_;
};

LogFile::~LogFile() {
    Close();
    if (queue) {
        ::DeleteCriticalSection(&queue->lock);
    }
}

CqvLogListenerFile::CqvLogListenerFile(bool queued, int defaultMinLevel)
    : CqvLogListener(defaultMinLevel), log_(std::make_shared<LogFile>()), queued(queued) {
    LogFile& log = *log_;
    win::UniqueRegKey productKey;
    win::UniqueRegKey moduleKey;
    OpenPolicyKeys(productKey, moduleKey);
    std::wstring fullPath;
    std::wstring baseName;
    GetModuleNames(fullPath, baseName);
    const std::wstring fileName = baseName + L".log";
    log.sourceName = baseName;

    log.maxLogSize = ReadMaxLogSize(productKey.Get(), moduleKey.Get());
    // Above the check threshold, so that the first write checks the size.
    log.writeCounter = static_cast<std::int64_t>(log.maxLogSize) * 10 + 1;

    const bool haveFolder = log.FindLogPath(fileName);
    const std::wstring mutexName = LogMutexName(haveFolder ? std::wstring(log.path) : fileName);
    std::wstring problem;
    log.mutex = CreateLogMutex(mutexName, problem);

    if (!haveFolder) {
        return;
    }
    if (!log.mutex) {
        // Without a mutex of our own the file cannot be shared safely: off for this run.
        log.Report(LogLevelError,
                   L"Log file " + std::wstring(log.path) + L" stays off in this run: " + problem);
        log.path[0] = L'\0';
        return;
    }
    const OpenFile open(log);
    if (!open) {
        return;
    }
    if (log.HasForeignHead()) {
        log.RotateIfNeeded(true);
    }
    DWORD queuedWrites = 0;
    if (ReadPolicyDword(moduleKey.Get(), L"QueuedWrites", queuedWrites) ||
        ReadPolicyDword(productKey.Get(), L"QueuedWrites", queuedWrites)) {
        this->queued = queuedWrites != 0;
    }
    if (this->queued) {
        log.StartQueue();
    }
}

CqvLogListenerFile::~CqvLogListenerFile() {
    log_->StopQueue();
}

bool LogFile::FindLogPath(const std::wstring& fileName) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, kFolderFlags, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        return false;
    }
    const std::wstring logFolder = std::wstring(folder) + L"\\qvzLog";
    if (!::CreateDirectoryW(logFolder.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    const std::wstring fullPath = logFolder + L"\\" + fileName;
    if (fullPath.size() >= MAX_PATH) {
        return false;
    }
    wcscpy_s(path, MAX_PATH, fullPath.c_str());
    return true;
}

// Reads the head of the open file. True when the file holds something that does not start
// like one of our lines (or cannot be read at all); an empty file is ours.
bool LogFile::HasForeignHead() {
    wchar_t head[kLogLineHeadLength + 1] = {};
    std::size_t count = 0;
    while (count < kLogLineHeadLength) {
        const wint_t c = std::fgetwc(file.Get());
        if (c == WEOF) {
            break;
        }
        head[count++] = static_cast<wchar_t>(c);
    }
    if (count == 0) {
        return std::feof(file.Get()) == 0;
    }
    return !HasLogLineHead(head, count);
}

void LogFile::StartQueue() {
    queue = std::make_unique<WriteQueue>();
    queue->text.reserve(kQueueChars);
    queue->lineEnds.reserve(kQueueLines);
    queue->batchText.reserve(kQueueChars);
    queue->batchEnds.reserve(kQueueLines);
    // Logging threads and the writer hold it only briefly: spin before sleeping.
    ::InitializeCriticalSectionAndSpinCount(&queue->lock, 4000);
}

void LogFile::StopQueue() {
    if (!queue) {
        return;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE thread = nullptr;
        {
            SectionLock lock(queue->lock);
            if (queue->count == 0 || !queue->running) {
                break;
            }
            thread = queue->thread.Get();
        }
        ::Sleep(100);
        ::WaitForSingleObject(thread, 500);
    }
    // A writer still running finds the queue empty after its current batch and ends; it
    // holds this object until then.
    SectionLock lock(queue->lock);
    const int discarded = queue->count;
    queue->text.clear();
    queue->lineEnds.clear();
    queue->count = 0;
    lock.Unlock();
    // Lines still queued while the mutex is held elsewhere were waiting for it in vain.
    if (discarded > 0 && stalled) {
        LoseLines(static_cast<std::uint64_t>(discarded));
    }
}

void LogFile::LoseLines(std::uint64_t count) noexcept {
    const std::uint64_t lost = lostLines += count;
    if (lossReported.exchange(true)) {
        return;
    }
    try {
        Report(LogLevelWarning, L"Log file " + std::wstring(path) + L": " + std::to_wstring(lost) +
                                    L" line(s) lost, its mutex was held elsewhere beyond " +
                                    std::to_wstring(CqvLogListenerFile::kMutexWaitMs) +
                                    L" ms; later losses in this run are not reported");
    } catch (...) {
    }
}

void LogFile::Report(int level, const std::wstring& message) const noexcept {
    // Also called while the listener ends: a report that cannot be built is dropped.
    try {
        const CqvLogListener::LogData record(level, kListenerFunction, message);
        LPCWSTR strings[1] = {record.Format().c_str()};
        const win::UniqueEventSource source(::RegisterEventSourceW(nullptr, sourceName.c_str()));
        win::CurrentEventReporter().Report(
            source.Get(), level == LogLevelError ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, 0,
            static_cast<DWORD>(level), nullptr, 1, 0, strings, nullptr);
    } catch (...) {
    }
}

void LogFile::Queue(const std::wstring& line) {
    SectionLock lock(queue->lock);
    WriteQueue& pending = *queue;
    // Grow first, so that the appends below cannot fail halfway through a line.
    const size_t needed = pending.text.size() + line.size() + 1;
    if (needed > pending.text.capacity()) {
        pending.text.reserve(std::max(needed, 2 * pending.text.capacity()));
    }
    if (pending.lineEnds.size() == pending.lineEnds.capacity()) {
        pending.lineEnds.reserve(std::max(kQueueLines, 2 * pending.lineEnds.capacity()));
    }
    pending.text.append(line);
    pending.text.push_back(L'\n');
    pending.lineEnds.push_back(pending.text.size());
    ++pending.count;
    if (pending.running) {
        return;
    }
    pending.thread.Reset();  // a finished writer
    auto writerShare = std::make_unique<std::shared_ptr<LogFile>>(shared_from_this());
    const uintptr_t started =
        ::_beginthreadex(nullptr, 0, &LogFile::WriterThread, writerShare.get(), 0, nullptr);
    if (started != 0) {
        writerShare.release();  // now the writer's
    }
    pending.thread.Reset(reinterpret_cast<HANDLE>(started));
    pending.running = started != 0;
}

void CqvLogListenerFile::Write(const LogData& data) {
    if (log_->path[0] == L'\0') {
        return;
    }
    if (log_->queue && queued) {
        // Formatted here, outside the lock, so that the writer only moves finished text.
        log_->Queue(data.Format());
        return;
    }
    const OpenFile open{*log_};
    if (open) {
        log_->WriteEntry(data);
    } else if (open.TimedOut()) {
        log_->LoseLines(1);
    }
}

std::uint64_t CqvLogListenerFile::LostLines() const noexcept {
    return log_->lostLines;
}

unsigned int CqvLogListenerFile::GetType() const {
    return (log_->queue && queued) ? LogTypeFileQueued : LogTypeFile;
}

bool CqvLogListenerFile::Open() {
    return log_->Open();
}

void CqvLogListenerFile::Close() {
    log_->Close();
}

bool CqvLogListenerFile::RotateIfNeeded(bool force) {
    return log_->RotateIfNeeded(force);
}

bool CqvLogListenerFile::WaitUntilWritten(DWORD timeoutMs) {
    return log_->WaitUntilWritten(timeoutMs);
}

const wchar_t* CqvLogListenerFile::Path() const noexcept {
    return log_->path;
}

int CqvLogListenerFile::MaxLogSize() const noexcept {
    return log_->maxLogSize;
}

bool LogFile::Open(bool& timedOut) {
    timedOut = false;
    if (!mutex) {
        return false;
    }
    const DWORD wait =
        ::WaitForSingleObject(mutex.Get(), stalled ? 0 : CqvLogListenerFile::kMutexWaitMs);
    timedOut = wait == WAIT_TIMEOUT;
    stalled = timedOut;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        return false;
    }
    if (mutexHeld) {
        // Opened again without a Close: keep a single hold, so one Close releases it.
        ::ReleaseMutex(mutex.Get());
    }
    mutexHeld = true;
    file.Reset();
    if (_wfopen_s(file.Put(), path, kOpenMode) != 0 || !file) {
        file.Reset();
        mutexHeld = false;
        ::ReleaseMutex(mutex.Get());
        return false;
    }
    return true;
}

void LogFile::Close() {
    if (file) {
        std::fflush(file.Get());
        file.Reset();
    }
    if (mutexHeld) {
        mutexHeld = false;
        ::ReleaseMutex(mutex.Get());
    }
}

bool LogFile::SizeCheckDue() const {
    return writeCounter > static_cast<std::int64_t>(maxLogSize) * 10;
}

void LogFile::CountWrite() {
    const bool due = SizeCheckDue();
    ++writeCounter;
    if (due) {
        if (RotateIfNeeded(false)) {
            writeCounter = 0;
        } else {
            writeCounter /= 2;
        }
    }
}

void LogFile::WriteEntry(const CqvLogListener::LogData& data) {
    if (!file) {
        return;
    }
    CountWrite();
    if (!file) {
        return;
    }
    std::fputws(data.Format().c_str(), file.Get());
    std::fputws(L"\n", file.Get());
}

void LogFile::WriteBatch(const std::wstring& text, const std::vector<size_t>& lineEnds) {
    // In the file's Unicode text mode fputws hands every character to the stream's buffer
    // as it is, and each full buffer is encoded and written with "\n" turned into CR LF.
    // fwrite of the same characters in pieces smaller than the buffer fills and flushes it
    // at the same places, so the file gets the same bytes (a surrogate pair split by a
    // flush included), without a call per character; one large fwrite would bypass the
    // buffer and split the text elsewhere. Lines are counted one by one as WriteEntry counts
    // them, and what precedes a size check reaches the stream before it.
    size_t unwritten = 0;
    size_t lineStart = 0;
    const auto writeUpTo = [&](size_t end) {
        while (unwritten < end) {
            const size_t piece = std::min(end - unwritten, kWritePieceChars);
            std::fwrite(text.data() + unwritten, sizeof(wchar_t), piece, file.Get());
            unwritten += piece;
        }
    };
    for (const size_t lineEnd : lineEnds) {
        if (!file) {
            return;  // a reopen after a rotation failed: the rest is dropped, as WriteEntry does
        }
        if (SizeCheckDue()) {
            writeUpTo(lineStart);
        }
        CountWrite();
        lineStart = lineEnd;
    }
    if (file) {
        writeUpTo(lineStart);
    }
}

bool LogFile::RotateIfNeeded(bool force) {
    if (_waccess(path, 0) != 0) {
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) {
        return false;
    }
    if (!force) {
        const std::uint64_t size =
            (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
        if (maxLogSize <= 0 || size <= static_cast<std::uint64_t>(maxLogSize) * 1024) {
            return false;
        }
    }

    wchar_t fullPath[MAX_PATH] = {};
    const DWORD fullLength = ::GetFullPathNameW(path, MAX_PATH, fullPath, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) {
        return false;
    }
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t directory[_MAX_DIR] = {};
    wchar_t name[_MAX_FNAME] = {};
    wchar_t extension[_MAX_EXT] = {};
    if (_wsplitpath_s(fullPath, drive, _MAX_DRIVE, directory, _MAX_DIR, name, _MAX_FNAME, extension,
                      _MAX_EXT) != 0) {
        return false;
    }
    const std::wstring folder = std::wstring(drive) + directory;
    const std::wstring base = folder + name;

    std::vector<ArchiveFile> found;
    WIN32_FIND_DATAW findData;
    win::UniqueFindHandle find(::FindFirstFileW((base + L"_*.log").c_str(), &findData));
    if (find) {
        do {
            if ((findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                found.push_back({findData.cFileName, FileTimeValue(findData.ftLastWriteTime)});
            }
        } while (::FindNextFileW(find.Get(), &findData));
        find.Reset();
    }

    if (!found.empty()) {
        const ArchiveRotationPlan plan = PlanArchiveRotation(std::move(found));
        for (const std::wstring& oldest : plan.deletions) {
            ::DeleteFileW((folder + oldest).c_str());
        }
        // Two passes through temporary names, because the new numbers overlap the old ones.
        struct Move {
            std::wstring from;
            std::wstring temporary;
            std::wstring to;
        };
        std::vector<Move> moved;
        bool firstPassDone = true;
        for (const ArchiveRenumbering& archive : plan.renumbering) {
            wchar_t temporary[MAX_PATH] = {};
            // A unique number other than 0 only forms the name; it creates no file.
            if (::GetTempFileNameW(folder.c_str(), L"_log_",
                                   static_cast<UINT>(archive.number % 256), temporary) == 0) {
                firstPassDone = false;
                break;
            }
            ::DeleteFileW(temporary);
            Move move{folder + archive.name, temporary, ArchiveName(base, archive.number)};
            if (!::MoveFileW(move.from.c_str(), move.temporary.c_str())) {
                firstPassDone = false;
                break;
            }
            moved.push_back(std::move(move));
        }
        if (!firstPassDone) {
            // Put back what the pass has moved, so that no archive is left under a temporary
            // name, and leave the log file as it is: the next check tries again.
            for (auto undo = moved.rbegin(); undo != moved.rend(); ++undo) {
                ::MoveFileW(undo->temporary.c_str(), undo->from.c_str());
            }
            return false;
        }
        for (const Move& move : moved) {
            ::MoveFileW(move.temporary.c_str(), move.to.c_str());
        }
    }

    const std::wstring newest = ArchiveName(base, 1);
    if (file) {
        file.Reset();
        ::MoveFileW(path, newest.c_str());
        if (_wfopen_s(file.Put(), path, kOpenMode) != 0) {
            file.Reset();  // Close still releases the mutex
        }
    } else {
        ::MoveFileW(path, newest.c_str());
    }
    return true;
}

bool LogFile::WaitUntilWritten(DWORD timeoutMs) {
    if (!queue) {
        return true;
    }
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        win::UniqueHandle lastWriter;
        {
            SectionLock lock(queue->lock);
            if (queue->count == 0 && !queue->running) {
                // The writer clears its flag before it closes the file: wait for it to end,
                // on a handle of our own in case a Write replaces the stored one.
                if (queue->thread) {
                    ::DuplicateHandle(::GetCurrentProcess(), queue->thread.Get(),
                                      ::GetCurrentProcess(), lastWriter.Put(), SYNCHRONIZE, FALSE,
                                      0);
                }
                if (!lastWriter) {
                    return true;
                }
            }
        }
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        if (lastWriter) {
            return ::WaitForSingleObject(lastWriter.Get(),
                                         static_cast<DWORD>(timeoutMs - elapsed)) == WAIT_OBJECT_0;
        }
        ::Sleep(1);
    }
}

void LogFile::WriteQueue::ReleaseBatch() {
    batchText.clear();
    batchEnds.clear();
    // Both buffers take turns as the batch, so capping the batch caps both.
    if (batchText.capacity() > 4 * kQueueChars) {
        std::wstring().swap(batchText);
        batchText.reserve(kQueueChars);
    }
    if (batchEnds.capacity() > 4 * kQueueLines) {
        std::vector<size_t>().swap(batchEnds);
        batchEnds.reserve(kQueueLines);
    }
}

unsigned int __stdcall LogFile::WriterThread(void* argument) {
    const std::unique_ptr<std::shared_ptr<LogFile>> share(
        static_cast<std::shared_ptr<LogFile>*>(argument));
    LogFile& log = **share;
    WriteQueue& writeQueue = *log.queue;
    // No exception may leave the thread: on one, the writer ends as after a drain and what is
    // still queued waits for the next writer.
    try {
        const OpenFile open(log);
        SectionLock lock(writeQueue.lock);
        while (open && !writeQueue.lineEnds.empty()) {
            // Take everything queued at once: the logging threads then meet the lock once
            // per batch instead of once per record. The emptied buffers of the last batch
            // become the queue, so neither side allocates once both have grown.
            writeQueue.batchText.swap(writeQueue.text);
            writeQueue.batchEnds.swap(writeQueue.lineEnds);
            writeQueue.count = 0;
            lock.Unlock();
            log.WriteBatch(writeQueue.batchText, writeQueue.batchEnds);
            writeQueue.ReleaseBatch();
            lock.Lock();
        }
        writeQueue.running = false;  // the file is closed right after, as the scope ends
    } catch (...) {
        // The batch in hand is lost, as a record being written would be.
        writeQueue.batchText.clear();
        writeQueue.batchEnds.clear();
        SectionLock lock(writeQueue.lock);
        writeQueue.running = false;
    }
    return 0;
}

}  // namespace Shared
}  // namespace QV
