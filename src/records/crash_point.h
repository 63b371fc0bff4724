// The moments of an update attempt at which a power cut must lose nothing. The service passes
// them on its loop thread. The production build links a definition that does nothing; the
// simulation build links one that can end the process at a chosen point, as a power cut would,
// so that tests can prove what the next start makes of it.
#pragma once

enum class CrashPoint {
    kStaged,     // every file of the attempt is staged, before the signature check
    kRecording,  // the record's first value is written, its last not yet
    kRecorded,   // the attempt is recorded, its tool not yet started
    kLaunched,   // the tool was started, the service does not wait for it yet
    kToolEnded,  // the tool ended, its outcome is not written yet
};

void ReachCrashPoint(CrashPoint point);
