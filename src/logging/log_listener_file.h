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
// Whoever holds that mutex can stall every writer of the file, so only SYSTEM and
// Administrators may open it. A mutex of that name that someone else made first (its owner is
// not SYSTEM, Administrators or this process's own account), or one that cannot be created,
// keeps the listener off for the rest of the process's life, and one event says why (event ID
// 5, type error, under the module's base name, as the event listener reports a record).
// Records lost because the mutex stayed held elsewhere beyond kMutexWaitMs are counted; the
// first such loss is reported in one event (ID 4, type warning), the later ones of the run are
// only counted (LostLines): the process-wide logger is never destroyed, and a holder that never
// lets go is exactly the case to report while it lasts.
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
#include <memory>

#include "logging/log_listener.h"

namespace QV {
namespace Shared {

class LogFile;

class CqvLogListenerFile final : public CqvLogListener {
public:
    // How long Open waits for the mutex that another thread or process holds. After a wait that
    // timed out, Open only tries the mutex until it gets it again, so a holder that never lets
    // go costs the logging threads this wait once, not once per record.
    static constexpr DWORD kMutexWaitMs = 10000;

    // Finds the folder and the size limit, creates the mutex, archives a file of another
    // format, reads "QueuedWrites" and sets up the queue. Without a usable folder the
    // listener stays silent; when the file cannot be opened now it writes directly. Only a
    // mutex it cannot trust or create is reported (see the class comment); other failures are
    // not.
    CqvLogListenerFile(bool queued, int defaultMinLevel);

    // Lets a running writer finish what is queued (twice: 100 ms, then up to 500 ms for the
    // writer), then discards what is still queued, counting it as lost when the last wait for
    // the mutex timed out. It does not wait further: a writer still running shares the file
    // side and the queue, which go with the last of the two. No other thread may call Write
    // meanwhile.
    ~CqvLogListenerFile() override;

    // Writes (direct) or queues (queued) one record; see the class comment. Called on the
    // logging thread; a record that cannot be written directly is dropped (and counted when
    // the mutex stayed held elsewhere), a queued one stays queued until a writer can take the
    // file.
    void Write(const LogData& data) override;

    // How many records were lost so far because the mutex stayed held elsewhere: dropped by a
    // direct write, or still queued when the listener ended. Any thread may ask.
    std::uint64_t LostLines() const noexcept;

    // LogTypeFileQueued while queued writing is on, else LogTypeFile.
    unsigned int GetType() const override;

    // Takes the file: waits for the mutex (see kMutexWaitMs), an abandoned mutex counting as
    // taken, and opens the path for appending as UTF-8 text. On failure nothing is held.
    // Every successful Open must be followed by exactly one Close on the same thread.
    bool Open();

    // Flushes and closes the file if it is open, and releases the mutex if this listener
    // holds it (also when a reopen after a rotation lost the file). Never leaves the mutex
    // held.
    void Close();

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

    // The log file's full path; empty when no folder could be found or created, or when the
    // listener is off because of its mutex.
    const wchar_t* Path() const noexcept;

    // The size limit in KiB, from the policy or 2048.
    int MaxLogSize() const noexcept;

private:
    // The file side (path, mutex, stream, size check) and the queue, shared with the writer
    // thread that is running.
    std::shared_ptr<LogFile> log_;
    bool queued;
};

}  // namespace Shared
}  // namespace QV
