// The file listener: a UTF-8 log file that several threads and processes may share, with
// size-based rotation and an optional background writer.
//
// The file is "%APPDATA%\qvzLog\<module base name>.log" (for a LocalSystem service the
// system profile's application-data folder). Every line is the record's formatted line and
// CR LF. Every access to the file, from any thread of any process that writes the same path,
// happens between Open and Close under one named mutex ("Global\" and the path with its
// drive removed and "\" turned into "."), so lines never mix and a queue drain is one
// uninterrupted block; the file is never held open between writes.
//
// Rotation: when the file has grown beyond "MaxLogSize" KiB (policy, default 2048), it is
// renamed "<base>_0001.log" and a fresh file started; the older archives move up by one
// number (0001 is always the newest) and at most nine are kept. The size is checked on the
// first write and then only about every MaxLogSize * 10 writes. A file whose head is not a
// line of this format is archived when the listener is created.
//
// Queued writing (constructor flag, or the "QueuedWrites" policy, which wins when present):
// Write only formats the record and appends its line to the queue; one writer thread per
// listener takes the file and drains the queue in logging order, then ends; the next Write
// starts a new one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "shared/log_listener.h"
#include "win/unique_handle.h"

namespace QV {
namespace Shared {

class CqvLogListenerFile final : public CqvLogListener {
public:
    // The lines waiting for the writer thread, oldest first. A queued record costs no
    // allocation of its own: its formatted line and "\n" are appended to |text| and the end
    // of the line to |lineEnds|, whose capacity the writer hands back after each batch.
    struct WriteQueue {
        std::wstring text;
        std::vector<size_t> lineEnds;  // offset in |text| just after each line's "\n"
        int count = 0;                 // lines in |text|
        CqvLogListenerFile* owner = nullptr;
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

    // Finds the folder and the size limit, creates the mutex, archives a file of another
    // format, reads "QueuedWrites" and sets up the queue. Without a usable folder the
    // listener stays silent; when the file cannot be opened now it writes directly.
    // Failures are not reported.
    CqvLogListenerFile(bool queued, int defaultMinLevel);

    // Lets a running writer finish what is queued (waiting at most about 1.2 s), discards
    // what is still queued after that, waits for the writer to leave the file, then closes
    // the mutex. No other thread may call Write meanwhile.
    ~CqvLogListenerFile() override;

    // Writes (direct) or queues (queued) one record; see the class comment. Called on the
    // logging thread; a record that cannot be written directly is dropped silently, a queued
    // one stays queued until a writer can take the file.
    void Write(const LogData& data) override;

    // LogTypeFileQueued while queued writing is on, else LogTypeFile.
    unsigned int GetType() const override;

    // Takes the file: waits (without time-out) for the mutex, an abandoned mutex counting as
    // taken, and opens the path for appending as UTF-8 text. On failure nothing is held.
    // Every successful Open must be followed by exactly one Close on the same thread.
    bool Open();

    // Flushes and closes the file if it is open, and releases the mutex if this listener
    // holds it (also when a reopen after a rotation lost the file). Never leaves the mutex
    // held.
    void Close();

    // Writes one record and CR LF into the file taken by Open, first checking the size when
    // the write counter says so. Writes nothing when the file is not open.
    void WriteEntry(const LogData& data);

    // Archives the file when |force| is on or the file is larger than MaxLogSize KiB; the
    // caller holds the file (Open). Returns whether the file was rotated. When an archive
    // cannot be moved out of the way, the archives already moved are put back, nothing is
    // rotated, and false is returned so that a later check tries again. Other failures
    // (deletes, moves of the log file itself) are ignored.
    bool RotateIfNeeded(bool force);

    // Waits until nothing is queued and no writer runs, or |timeoutMs| passes; returns
    // whether everything was written. For callers that must know the records reached the
    // file (shutdown, tests, measurements). True at once in direct mode.
    bool WaitUntilWritten(DWORD timeoutMs);

    // The log file's full path; empty when no folder could be found or created.
    const wchar_t* Path() const noexcept { return path; }

    // The size limit in KiB, from the policy or 2048.
    int MaxLogSize() const noexcept { return maxLogSize; }

private:
    static unsigned int __stdcall WriterThread(void* argument);
    void StopQueue();
    bool FindLogPath(const std::wstring& fileName);
    bool HasForeignHead();
    // Whether the next counted line checks the size first.
    bool SizeCheckDue() const;
    // Counts one line and, when due, checks the size and rotates; the caller holds the file.
    void CountWrite();
    // Writes the queued lines of one batch (each ending in "\n") into the file taken by Open.
    void WriteBatch(const std::wstring& text, const std::vector<size_t>& lineEnds);

    wchar_t path[MAX_PATH] = {};
    int maxLogSize = -1;
    // 64 bits: it starts above MaxLogSize * 10, which need not fit in 32 bits.
    std::int64_t writeCounter = 0;
    bool queued;
    FILE* file = nullptr;
    win::UniqueHandle mutex;
    std::unique_ptr<WriteQueue> queue;
    // Whether this listener holds the mutex (between a successful Open and its Close). Read
    // and written only by the thread that holds the mutex.
    bool mutexHeld = false;
};

}  // namespace Shared
}  // namespace QV
