// The interactive user's session, chosen among the sessions of the local machine.
//
// A WtsInfo is a snapshot taken by its constructor on the service loop's thread; it does not
// follow later logons, logoffs or lock changes and is never shared between threads. Every
// session call goes through the table win::CurrentWtsFunctions() gives at construction, and
// the buffers it hands out are freed through that same table.
#pragma once

#include <windows.h>

#include "win/sdk_compat.h"
#include "win/unique_handle.h"
#include "win/wts_functions.h"

class WtsInfo {
public:
    // Enumerates the sessions and chooses the first active session that reports itself
    // unlocked, or else the last active one. Never fails: the outcome is in |found|,
    // |sessionIndex|, |remoteState| and |valid|.
    WtsInfo();

    WtsInfo(const WtsInfo&) = delete;
    WtsInfo& operator=(const WtsInfo&) = delete;

    // The primary token of the chosen session's user; empty when no session was chosen, the
    // caller's own session could not be classified as local or remote (the thread's last error
    // is then ERROR_NO_TOKEN), or WTSQueryUserToken failed (its error).
    win::UniqueHandle GetSessionUserToken() const;

    // Written by the constructor only; read them, never change them.
    DWORD sessionCount = 0;
    bool unlocked = false;  // the chosen session reported itself unlocked
    bool found = false;     // an active session was chosen
    int sessionIndex = -1;  // index of the chosen session in the enumeration, -1 when none
    int remoteState = 0;    // 0 undetermined, 1 the service's own session is local, 2 remote
    bool valid = false;     // a session was chosen and |remoteState| was determined

private:
    const win::WtsFunctions& wts_;
    win::UniqueWtsMemory<WTS_SESSION_INFOW> sessions_;  // from WTSEnumerateSessionsW
    win::UniqueWtsMemory<WTSINFOEXW> sessionInfo_;      // extended information of the chosen one
};
