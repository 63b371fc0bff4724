// The interactive user's session, chosen among the sessions of the local machine.
//
// A WtsInfo is a snapshot taken by its constructor on the service loop's thread; it does not
// follow later logons, logoffs or lock changes and is never shared between threads. Every
// session call goes through win::CurrentWtsFunctions().
#pragma once

#include <windows.h>

#include "win/sdk_compat.h"

class WtsInfo {
public:
    // Enumerates the sessions and chooses the first active session that reports itself
    // unlocked, or else the last active one. Never fails: the outcome is in |found|,
    // |sessionIndex|, |remoteState| and |valid|.
    WtsInfo();
    // Frees |sessionInfo| and |sessions|.
    virtual ~WtsInfo();

    WtsInfo(const WtsInfo&) = delete;
    WtsInfo& operator=(const WtsInfo&) = delete;

    // The primary token of the chosen session's user, owned by the caller; INVALID_HANDLE_VALUE
    // when no session was chosen, the caller's own session could not be classified as local or
    // remote, or WTSQueryUserToken failed. Only in the last case does the thread's last error
    // describe the failure.
    HANDLE GetSessionUserToken() const;

    // Written by the constructor only; read them, never change them.
    PWTS_SESSION_INFOW sessions;  // from WTSEnumerateSessionsW, owned
    DWORD sessionCount;
    PWTSINFOEXW sessionInfo;  // extended information of the chosen session, owned
    bool unlocked;            // the chosen session reported itself unlocked
    bool found;               // an active session was chosen
    int sessionIndex;         // index of the chosen session in |sessions|, -1 when none
    int remoteState;  // 0 undetermined, 1 the service's own session is local, 2 it is remote
    bool valid;       // a session was chosen and |remoteState| was determined
};
