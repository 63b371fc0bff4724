#include "fake_sessions.h"

#include <cstdlib>
#include <cstring>

namespace test {
namespace {

FakeSessions* g_current = nullptr;

}  // namespace

FakeSessions::FakeSessions(std::vector<FakeSession> sessions)
    : sessions_(std::move(sessions)), table_{&Enumerate, &Query, &Free, &QueryUserToken} {
    g_current = this;
    previous_ = win::SetWtsFunctions(&table_);
}

FakeSessions::~FakeSessions() {
    win::SetWtsFunctions(previous_);
    g_current = nullptr;
    for (void* buffer : buffers_) {
        std::free(buffer);
    }
}

void* FakeSessions::Allocate(size_t bytes) {
    void* buffer = std::calloc(1, bytes);
    buffers_.insert(buffer);
    return buffer;
}

BOOL WINAPI FakeSessions::Enumerate(HANDLE /*server*/, DWORD /*reserved*/, DWORD /*version*/,
                                    PWTS_SESSION_INFOW* sessions, DWORD* count) {
    FakeSessions& self = *g_current;
    if (self.enumerateFails) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto* list = static_cast<WTS_SESSION_INFOW*>(
        self.Allocate(sizeof(WTS_SESSION_INFOW) * (self.sessions_.size() + 1)));
    for (size_t i = 0; i < self.sessions_.size(); ++i) {
        list[i].SessionId = self.sessions_[i].id;
        list[i].State = self.sessions_[i].state;
        list[i].pWinStationName = const_cast<LPWSTR>(L"Console");
    }
    *sessions = list;
    *count = static_cast<DWORD>(self.sessions_.size());
    return TRUE;
}

BOOL WINAPI FakeSessions::Query(HANDLE /*server*/, DWORD sessionId, WTS_INFO_CLASS infoClass,
                                LPWSTR* buffer, DWORD* bytes) {
    FakeSessions& self = *g_current;
    if (infoClass == WTSIsRemoteSession && sessionId == WTS_CURRENT_SESSION) {
        if (self.remoteQueryFails) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        auto* answer = static_cast<BOOLEAN*>(self.Allocate(sizeof(BOOLEAN)));
        *answer = self.remote ? TRUE : FALSE;
        *buffer = reinterpret_cast<LPWSTR>(answer);
        *bytes = sizeof(BOOLEAN);
        return TRUE;
    }
    if (infoClass != WTSSessionInfoEx) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    self.infoQueries.push_back(sessionId);
    for (const FakeSession& session : self.sessions_) {
        if (session.id != sessionId) {
            continue;
        }
        if (session.queryFails) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        auto* info = static_cast<WTSINFOEXW*>(self.Allocate(sizeof(WTSINFOEXW)));
        info->Level = 1;
        info->Data.WTSInfoExLevel1.SessionId = session.id;
        info->Data.WTSInfoExLevel1.SessionState = session.state;
        info->Data.WTSInfoExLevel1.SessionFlags = static_cast<LONG>(session.flags);
        *buffer = reinterpret_cast<LPWSTR>(info);
        *bytes = sizeof(WTSINFOEXW);
        return TRUE;
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

void WINAPI FakeSessions::Free(PVOID memory) {
    FakeSessions& self = *g_current;
    if (self.buffers_.erase(memory) == 0) {
        ++self.badFrees;
        return;
    }
    std::free(memory);
}

BOOL WINAPI FakeSessions::QueryUserToken(ULONG sessionId, PHANDLE token) {
    FakeSessions& self = *g_current;
    self.tokenRequests.push_back(sessionId);
    if (self.tokenFails) {
        ::SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
}

}  // namespace test
