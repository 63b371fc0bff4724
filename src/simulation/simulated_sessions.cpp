// The simulated interactive user: with "ActiveSession" 1 (or missing) one active, unlocked,
// local session 1 whose user token is a primary copy of the service's own token; with 0 only
// a session at the logon screen; "SessionUserIsAdmin" 0 makes that user a standard user (read at
// each launch). Installed as the process's session functions before main.
#include <cstring>

#include "simulation/simulation_settings.h"
#include "win/sdk_compat.h"
#include "win/unique_handle.h"
#include "win/wts_functions.h"

namespace {

constexpr DWORD kUserSession = 1;

bool UserLoggedOn() {
    return simulation::ReadDwordSetting(L"ActiveSession").value_or(1) != 0;
}

// Every buffer handed out is one LocalAlloc block, released by FreeMemory.
template <typename T>
T* Allocate() {
    return static_cast<T*>(::LocalAlloc(LPTR, sizeof(T)));
}

BOOL WINAPI EnumerateSessions(HANDLE /*server*/, DWORD /*reserved*/, DWORD version,
                              PWTS_SESSION_INFOW* sessions, DWORD* count) {
    if (version != 1 || sessions == nullptr || count == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* session = Allocate<WTS_SESSION_INFOW>();
    if (session == nullptr) {
        return FALSE;
    }
    session->SessionId = kUserSession;
    session->pWinStationName = nullptr;
    session->State = UserLoggedOn() ? WTSActive : WTSConnected;
    *sessions = session;
    *count = 1;
    return TRUE;
}

BOOL WINAPI QuerySessionInformation(HANDLE /*server*/, DWORD sessionId, WTS_INFO_CLASS infoClass,
                                    LPWSTR* buffer, DWORD* bytes) {
    if (infoClass == WTSSessionInfoEx) {
        auto* info = Allocate<WTSINFOEXW>();
        if (info == nullptr) {
            return FALSE;
        }
        info->Level = 1;
        WTSINFOEX_LEVEL1_W& level1 = info->Data.WTSInfoExLevel1;
        level1.SessionId = sessionId;
        level1.SessionState = UserLoggedOn() ? WTSActive : WTSConnected;
        level1.SessionFlags = WTS_SESSIONSTATE_UNLOCK;
        std::wcscpy(level1.WinStationName, L"Console");
        std::wcscpy(level1.UserName, L"SimulatedUser");
        *buffer = reinterpret_cast<LPWSTR>(info);
        *bytes = sizeof(*info);
        return TRUE;
    }
    if (infoClass == WTSIsRemoteSession) {
        auto* remote = Allocate<BOOL>();
        if (remote == nullptr) {
            return FALSE;
        }
        *remote = FALSE;
        *buffer = reinterpret_cast<LPWSTR>(remote);
        *bytes = sizeof(*remote);
        return TRUE;
    }
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

void WINAPI FreeMemory(PVOID memory) {
    ::LocalFree(memory);
}

BOOL WINAPI QueryUserToken(ULONG sessionId, PHANDLE token) {
    if (sessionId != kUserSession || !UserLoggedOn()) {
        ::SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    win::UniqueHandle own;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.Put())) {
        return FALSE;
    }
    return ::DuplicateTokenEx(own.Get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                              TokenPrimary, token);
}

// With "SessionUserIsAdmin" 0 the user is a standard user: the token is not elevated and, as
// for any standard user, has no linked token. Wine cannot make such a token, so the answer is
// given here; every other question goes to the token itself.
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                                DWORD length, PDWORD returned) {
    const bool standardUser = simulation::ReadDwordSetting(L"SessionUserIsAdmin").value_or(1) == 0;
    if (standardUser && infoClass == TokenElevationType && length >= sizeof(TOKEN_ELEVATION_TYPE)) {
        *static_cast<TOKEN_ELEVATION_TYPE*>(information) = TokenElevationTypeDefault;
        *returned = sizeof(TOKEN_ELEVATION_TYPE);
        return TRUE;
    }
    if (standardUser && infoClass == TokenElevation && length >= sizeof(TOKEN_ELEVATION)) {
        static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = 0;
        *returned = sizeof(TOKEN_ELEVATION);
        return TRUE;
    }
    return ::GetTokenInformation(token, infoClass, information, length, returned);
}

const win::WtsFunctions kSimulatedSessions = {EnumerateSessions, QuerySessionInformation,
                                              FreeMemory, QueryUserToken, GetTokenInformation};

const bool installed = (win::SetWtsFunctions(&kSimulatedSessions), true);

}  // namespace
