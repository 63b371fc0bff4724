// The record of the last update attempt under the service key (service_values.h names its
// values), kept so that a power cut at any moment loses nothing.
//
// An attempt writes the journal first, then the values, and deletes the journal only once the
// tool's process exists, immediately before it runs; taking an attempt back writes the journal
// again before it restores the values. A start that finds a journal restores what it holds. So
// the record names a capsule with status 1 exactly from the moment its tool may run.
//
// Runs on the service loop's thread only; every call opens and closes the key itself.
#pragma once

#include <windows.h>

#include <string>

#include "records/attempt.h"

// The record as stored now, and why LastBinFile could not be read (ERROR_SUCCESS when it was).
struct StoredAttempt {
    attempt::Record record;
    DWORD lastBinFileError = ERROR_SUCCESS;
};
StoredAttempt ReadAttemptRecord();

// Writes AttemptJudged 1: a start after the attempt's reboot has judged it. False on failure.
bool MarkAttemptJudged();

// When a journal is left from an interrupted change, puts back the values it holds and deletes
// it (logged). True when it did so. A journal that cannot be read as one is deleted and logged.
bool RecoverAttemptRecord();

// One attempt's changes of the record.
class AttemptRecorder {
public:
    // |capsule| is the capsule of the attempt, |attemptCount| its AttemptCount, |boot| the
    // identity of this boot (AttemptBoot).
    AttemptRecorder(std::wstring capsule, std::uint32_t attemptCount, std::wstring boot);

    // Withdraws a record that was never committed (an exception between the record and the
    // tool's start); a committed one stands.
    ~AttemptRecorder();

    AttemptRecorder(const AttemptRecorder&) = delete;
    AttemptRecorder& operator=(const AttemptRecorder&) = delete;

    // Logs "ServiceLoop : update registry[LastBinFile]", then writes the journal, LastBinFile,
    // AttemptCount, AttemptBoot and UpgradeStatus 1, deletes AttemptJudged and flushes the key. On
    // failure puts the values back and returns the error, with the name of the writer that failed
    // ("WriteServiceString" or "WriteServiceDword") in |failedWriter|; else ERROR_SUCCESS.
    DWORD Record(const wchar_t*& failedWriter);

    // The tool starts now: deletes the journal, so that the record stands, and flushes the key.
    // ERROR_SUCCESS or the error of the deletion (the tool must not start then).
    DWORD Commit();

    // Puts the values back exactly as they were before Record, the journal first so that
    // an interruption here is undone at the next start. Nothing happens when nothing is recorded.
    void Withdraw();

private:
    std::wstring capsule_;
    std::uint32_t attemptCount_;
    std::wstring boot_;
    attempt::Record previous_;
    bool recorded_ = false;
    bool committed_ = false;
};
