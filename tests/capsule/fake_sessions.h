// A stand-in for the session functions (Wine reports no logged-on session), installed through
// the session-function seam for its lifetime. Its sessions 1, 2, ... are given as words: a(ctive)
// or d(isconnected), then L(ocked), U(nlocked) or ? (unknown, a value with the unlocked bit set).
// Behind them lies one more, active and unlocked, that only a reader past the count finds. The
// caller's own session is local; tokens copy this process's token unless |tokenFails|, and
// belong to an administrator unless |standardUser|.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

#include "win/sdk_compat.h"
#include "win/wts_functions.h"

namespace test {

class FakeSessions {
public:
    explicit FakeSessions(const std::string& sessions, bool tokenFails = false,
                          bool standardUser = false) {
        words_ = sessions + " aU", tokenFails_ = tokenFails, standardUser_ = standardUser;
    }
    ~FakeSessions() { win::SetWtsFunctions(previous_); }
    static inline int buffers = 0;  // handed out and not freed yet

private:
    static void* Allocate(size_t n) { return ++buffers, std::calloc(1, n); }
    static void WINAPI Free(PVOID memory) { --buffers, std::free(memory); }
    static auto State(DWORD id) { return words_[3 * id - 3] == 'a' ? WTSActive : WTSDisconnected; }
    static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count) {
        *count = static_cast<DWORD>(words_.size() / 3);
        *list = static_cast<PWTS_SESSION_INFOW>(Allocate((*count + 1) * sizeof(**list)));
        for (DWORD i = 0; i <= *count; ++i) {
            (*list)[i] = {i + 1, nullptr, State(i + 1)};
        }
        return TRUE;
    }
    static BOOL WINAPI Query(HANDLE, DWORD id, WTS_INFO_CLASS what, LPWSTR* buffer, DWORD*) {
        *buffer = static_cast<LPWSTR>(Allocate(sizeof(WTSINFOEXW)));  // zeroed: not remote
        if (what == WTSSessionInfoEx) {  // WTS_SESSIONSTATE_UNKNOWN (-1), _LOCK (0), _UNLOCK (1)
            auto& info = reinterpret_cast<WTSINFOEXW*>(*buffer)->Data.WTSInfoExLevel1;
            info.SessionId = id;
            info.SessionState = State(id);
            info.SessionFlags = static_cast<LONG>(std::string("?LU").find(words_[3 * id - 2])) - 1;
        }
        return TRUE;
    }
    static BOOL WINAPI Token(ULONG, PHANDLE token) {
        ::SetLastError(ERROR_NO_TOKEN);
        return !tokenFails_ && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    }
    // A standard user's token: not elevated, and not split (Wine cannot make one).
    static BOOL WINAPI TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID out,
                                        DWORD length, PDWORD returned) {
        if (standardUser_ && (what == TokenElevationType || what == TokenElevation)) {
            *static_cast<DWORD*>(out) = what == TokenElevationType ? TokenElevationTypeDefault : 0;
            return TRUE;
        }
        return ::GetTokenInformation(token, what, out, length, returned);
    }

    static inline std::string words_;
    static inline bool tokenFails_ = false, standardUser_ = false;
    const win::WtsFunctions table_{&Enumerate, &Query, &Free, &Token, &TokenInformation};
    const win::WtsFunctions* const previous_ = win::SetWtsFunctions(&table_);
};

}  // namespace test
