#include "capsule/wts_info.h"

#include <utility>

WtsInfo::WtsInfo()
    : wts_(win::CurrentWtsFunctions()),
      sessions_(nullptr, win::WtsMemoryDeleter{&wts_}),
      sessionInfo_(nullptr, win::WtsMemoryDeleter{&wts_}) {
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!wts_.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        return;
    }
    sessions_.reset(sessions);
    sessionCount = count;

    for (DWORD index = 0; index < sessionCount; ++index) {
        LPWSTR buffer = nullptr;
        DWORD bytes = 0;
        if (!wts_.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, sessions[index].SessionId,
                                          WTSSessionInfoEx, &buffer, &bytes)) {
            continue;
        }
        win::UniqueWtsMemory<WTSINFOEXW> answer(reinterpret_cast<WTSINFOEXW*>(buffer),
                                                win::WtsMemoryDeleter{&wts_});
        if (!answer) {
            continue;
        }
        const WTSINFOEX_LEVEL1_W& level1 = answer->Data.WTSInfoExLevel1;
        if (level1.SessionState != WTSActive) {
            continue;
        }
        sessionIndex = static_cast<int>(index);
        found = true;
        sessionInfo_ = std::move(answer);

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
    if (wts_.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                     WTSIsRemoteSession, &buffer, &bytes) == TRUE) {
        const win::UniqueWtsMemory<BOOLEAN> answer(reinterpret_cast<BOOLEAN*>(buffer),
                                                   win::WtsMemoryDeleter{&wts_});
        const bool remote = answer != nullptr && *answer;
        remoteState = remote ? 2 : 1;
    }
    valid = remoteState != 0;
}

win::UniqueHandle WtsInfo::GetSessionUserToken() const {
    if (!found || sessionIndex < 0 || remoteState == 0) {
        ::SetLastError(ERROR_NO_TOKEN);  // no session was chosen: there is no user to run as
        return win::UniqueHandle();
    }
    HANDLE token = nullptr;
    if (!wts_.queryUserToken(sessionInfo_->Data.WTSInfoExLevel1.SessionId, &token)) {
        return win::UniqueHandle();
    }
    return win::UniqueHandle(token);
}
