#include "capsule/wts_info.h"

#include "win/wts_functions.h"

WtsInfo::WtsInfo()
    : sessions(nullptr),
      sessionCount(0),
      sessionInfo(nullptr),
      unlocked(false),
      found(false),
      sessionIndex(-1),
      remoteState(0),
      valid(false) {
    const win::WtsFunctions& wts = win::CurrentWtsFunctions();
    if (!wts.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &sessionCount)) {
        sessions = nullptr;
        sessionCount = 0;
        return;
    }

    for (DWORD index = 0; index < sessionCount; ++index) {
        LPWSTR buffer = nullptr;
        DWORD bytes = 0;
        if (!wts.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, sessions[index].SessionId,
                                         WTSSessionInfoEx, &buffer, &bytes)) {
            continue;
        }
        win::UniqueWtsMemory answer(buffer);
        const auto* info = static_cast<const WTSINFOEXW*>(answer.Get());
        const WTSINFOEX_LEVEL1_W& level1 = info->Data.WTSInfoExLevel1;
        if (level1.SessionState != WTSActive) {
            continue;
        }
        sessionIndex = static_cast<int>(index);
        found = true;
        if (sessionInfo != nullptr) {
            wts.freeMemory(sessionInfo);
        }
        sessionInfo = static_cast<PWTSINFOEXW>(answer.Release());

        // A session that cannot tell its lock state counts as locked: a later active session
        // that is known to be unlocked is preferred to it.
        const DWORD flags = static_cast<DWORD>(level1.SessionFlags);
        if (flags != WTS_SESSIONSTATE_UNKNOWN && (flags & WTS_SESSIONSTATE_UNLOCK) != 0) {
            unlocked = true;
            break;
        }
    }
    if (!found) {
        return;
    }

    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (wts.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                    WTSIsRemoteSession, &buffer, &bytes) == TRUE) {
        win::UniqueWtsMemory answer(buffer);
        const bool remote = answer.Get() != nullptr && *static_cast<const BOOLEAN*>(answer.Get());
        remoteState = remote ? 2 : 1;
    }
    valid = remoteState != 0;
}

WtsInfo::~WtsInfo() {
    const win::WtsFunctions& wts = win::CurrentWtsFunctions();
    if (sessionInfo != nullptr) {
        wts.freeMemory(sessionInfo);
    }
    if (sessions != nullptr) {
        wts.freeMemory(sessions);
    }
}

HANDLE WtsInfo::GetSessionUserToken() const {
    if (!found || sessionIndex < 0 || remoteState == 0) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE token = nullptr;
    if (!win::CurrentWtsFunctions().queryUserToken(sessionInfo->Data.WTSInfoExLevel1.SessionId,
                                                   &token)) {
        return INVALID_HANDLE_VALUE;
    }
    return token;
}
