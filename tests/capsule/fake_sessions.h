// A stand-in for the Terminal Services session functions (Wine reports no logged-on session),
// installed through the session-function seam for its lifetime (one at a time). Its sessions
// 1, 2, ... are given as words: a(ctive) or d(isconnected), then L(ocked), U(nlocked) or
// ? (unknown, a value with the unlocked bit set). The caller's own session is local; tokens copy
// this process's token unless |tokenFails| (WTSQueryUserToken fails with ERROR_NO_TOKEN).
#pragma once

#include <windows.h>

#include <cstdlib>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "win/sdk_compat.h"
#include "win/wts_functions.h"

namespace test {

class FakeSessions {
public:
    explicit FakeSessions(const std::string& sessions, bool tokenFails = false)
        : tokenFails_(tokenFails), previous_(win::SetWtsFunctions(&table_)) {
        std::istringstream words(sessions);
        sessions_.assign(std::istream_iterator<std::string>(words), {});
        self_ = this;
    }
    ~FakeSessions() {
        win::SetWtsFunctions(previous_);
        for (void* buffer : buffers) {
            std::free(buffer);
        }
    }
    FakeSessions(const FakeSessions&) = delete;

    std::set<void*> buffers;  // handed out and not freed yet

private:
    static void* Allocate(size_t bytes, LPWSTR* buffer) {
        void* memory = *self_->buffers.insert(std::calloc(1, bytes)).first;
        *buffer = static_cast<LPWSTR>(memory);
        return memory;
    }
    // One entry more than the count tells, active and unlocked: only a reader going past the
    // count finds it.
    static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count) {
        *count = static_cast<DWORD>(self_->sessions_.size());
        LPWSTR buffer = nullptr;
        *list = static_cast<PWTS_SESSION_INFOW>(Allocate((*count + 1) * sizeof(**list), &buffer));
        for (DWORD i = 0; i <= *count; ++i) {
            const bool active = i == *count || self_->sessions_[i][0] == 'a';
            (*list)[i] = {i + 1, nullptr, active ? WTSActive : WTSDisconnected};
        }
        return TRUE;
    }
    static BOOL WINAPI Query(HANDLE, DWORD id, WTS_INFO_CLASS what, LPWSTR* buffer, DWORD*) {
        if (what == WTSIsRemoteSession) {
            return Allocate(sizeof(BOOLEAN), buffer) != nullptr;  // zeroed: not remote
        }
        const std::string word = id <= self_->sessions_.size() ? self_->sessions_[id - 1] : "aU";
        WTSINFOEX_LEVEL1_W& info =
            static_cast<WTSINFOEXW*>(Allocate(sizeof(WTSINFOEXW), buffer))->Data.WTSInfoExLevel1;
        info.SessionId = id;
        info.SessionState = word[0] == 'a' ? WTSActive : WTSDisconnected;
        info.SessionFlags = static_cast<LONG>(word[1] == 'L'   ? WTS_SESSIONSTATE_LOCK
                                              : word[1] == 'U' ? WTS_SESSIONSTATE_UNLOCK
                                                               : WTS_SESSIONSTATE_UNKNOWN);
        return TRUE;
    }
    static void WINAPI Free(PVOID memory) {
        if (self_->buffers.erase(memory) == 1) {  // memory it did not hand out is left alone
            std::free(memory);
        }
    }
    static BOOL WINAPI Token(ULONG, PHANDLE token) {
        ::SetLastError(ERROR_NO_TOKEN);
        return !self_->tokenFails_ &&
               ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    }

    static inline FakeSessions* self_ = nullptr;
    const bool tokenFails_;
    const win::WtsFunctions table_{&Enumerate, &Query, &Free, &Token};
    const win::WtsFunctions* const previous_;
    std::vector<std::string> sessions_;
};

}  // namespace test
