// The flashing side of the service: staging a capsule with the maker's flashing tool and
// running the tool on the interactive user's desktop.
//
// Both operations run on the service loop's thread and block it while the tool runs; the only
// signal from other threads is the service's manual-reset stop event.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "win/unique_handle.h"

// How a launch ended for the tool.
enum class ToolRun {
    kNotStarted,  // no session, token, environment or process, or the caller refused the start
    kExited,      // the tool ended by itself (its exit code decides the result)
    kCancelled,   // the service's stop ended the wait and the tool was terminated
};

// The caller's part in a launch; every member is optional.
struct LaunchControl {
    // The staging folder: the tool's TEMP is a fresh folder below "<staging folder>\Temp". Empty
    // means the service's own staging folder under the system directory.
    std::wstring stagingFolder;
    // Called once the session, token and environment are ready, immediately before the tool's
    // process is created. Any result but ERROR_SUCCESS keeps the tool from starting and becomes
    // the launch's error; the hook reports why.
    std::function<DWORD()> beforeStart;
    // Called once the tool's process exists, suspended, immediately before it runs. Any result
    // but ERROR_SUCCESS ends the process before it ran a single instruction and becomes the
    // launch's error; the hook reports why.
    std::function<DWORD()> beforeResume;
    // Files (the checked tool and activator, a capsule the tool reads where it lies) held open
    // until the tool runs, or its start failed; the launch closes them then.
    std::vector<win::UniqueFileHandle> heldUntilStarted;
    ToolRun run = ToolRun::kNotStarted;  // set by the launch
    // Set by the launch when it fails: the failed call's error, ERROR_CANCELLED (1223) for a tool
    // the stop ended, or the tool's own exit code.
    DWORD error = ERROR_SUCCESS;
};

// What the loop tells staging about an attempt, and learns back.
struct AttemptOptions {
    std::uint32_t attemptCount = 1;  // recorded as AttemptCount
    std::wstring boot;               // recorded as AttemptBoot: the identity of this boot
    bool toolStarted = false;        // set by staging: the tool's process was created
};

class Kel {
public:
    // Stages the capsule at |binaryName| and the tool files, runs the tool and records the
    // attempt and its outcome (see firmware_staging.h). True when the final status is 1 (the
    // tool asked for a restart, |rebootRequired| set) or 3 (flashed). |rebootRequired| is only
    // written when the tool is started; otherwise it keeps the caller's value. |options| (may be
    // null: the first attempt for the capsule) gives the attempt's count and tells whether the
    // tool was started.
    static bool UpgradeFirmware(const std::wstring& binaryName, HANDLE stopEvent,
                                bool& rebootRequired, AttemptOptions* options = nullptr);

    // Starts |applicationPath| with |commandLine| in the interactive user's session, with that
    // user's elevated token (the linked full token of a user whose session token is the limited
    // one; a user who has no elevated token is refused as ERROR_ELEVATION_REQUIRED, 740, before
    // anything is prepared) but the machine's environment (Path only the system's folders,
    // USERNAME and USERDOMAIN of the token's account, TEMP and TMP a fresh folder below
    // "<staging folder>\Temp", which only SYSTEM and Administrators can use), a console of its
    // own and |workingFolder| as current folder. The process is created suspended and runs only
    // once |control|'s beforeResume agreed. The launch then
    // waits until it exits or |stopEvent| (may be null) is set; a tool that is still running then
    // is terminated, and one that exited 0 or 3010 in that moment counts as exited. True for exit
    // code 0 and 3010 (which also sets |rebootRequired|; nothing else writes it); false for every
    // other code and every failure, each logged and reported. |exitCode| receives the tool's exit
    // code when it could be read. Every handle, token and environment block is released before
    // returning. On false the thread's last error (and |control|'s error) tells why: the failed
    // call's error, ERROR_CANCELLED (1223) for a tool the stop ended, or the tool's own exit code.
    static bool LaunchWithUi(const std::wstring& workingFolder, const std::wstring& applicationPath,
                             const std::wstring& commandLine, HANDLE stopEvent, DWORD& exitCode,
                             bool& rebootRequired, LaunchControl* control = nullptr);
};
