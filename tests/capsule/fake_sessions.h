// A stand-in for the Terminal Services session functions: presents a chosen list of sessions
// to the code under test through the session-function seam.
#pragma once

#include <windows.h>

#include <set>
#include <vector>

#include "win/sdk_compat.h"
#include "win/wts_functions.h"

namespace test {

struct FakeSession {
    DWORD id;
    WTS_CONNECTSTATE_CLASS state;
    DWORD flags;              // WTS_SESSIONSTATE_LOCK, _UNLOCK or _UNKNOWN
    bool queryFails = false;  // the extended-information query of this session fails
};

// Installs itself as the session-function table for its lifetime (one at a time). Buffers it
// hands out are tracked, so a test can see that each was freed exactly once. Tokens are copies
// of this process's token.
class FakeSessions {
public:
    explicit FakeSessions(std::vector<FakeSession> sessions);
    ~FakeSessions();
    FakeSessions(const FakeSessions&) = delete;
    FakeSessions& operator=(const FakeSessions&) = delete;

    // Behaviour, set before the code under test runs.
    bool enumerateFails = false;
    bool remoteQueryFails = false;
    bool remote = false;      // the answer to the remote-session query of the current session
    bool tokenFails = false;  // WTSQueryUserToken fails with ERROR_NO_TOKEN

    // Observations.
    std::vector<DWORD> infoQueries;    // session IDs asked for extended information, in order
    std::vector<ULONG> tokenRequests;  // session IDs asked for a user token
    size_t Outstanding() const { return buffers_.size(); }
    int badFrees = 0;  // frees of memory this table did not hand out (or freed twice)

private:
    static BOOL WINAPI Enumerate(HANDLE server, DWORD reserved, DWORD version,
                                 PWTS_SESSION_INFOW* sessions, DWORD* count);
    static BOOL WINAPI Query(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass,
                             LPWSTR* buffer, DWORD* bytes);
    static void WINAPI Free(PVOID memory);
    static BOOL WINAPI QueryUserToken(ULONG sessionId, PHANDLE token);
    void* Allocate(size_t bytes);

    std::vector<FakeSession> sessions_;
    std::set<void*> buffers_;
    win::WtsFunctions table_;
    const win::WtsFunctions* previous_;
};

}  // namespace test
