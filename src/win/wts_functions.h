// The Terminal Services session functions the service uses to find the interactive user.
//
// Every call of WTSEnumerateSessionsW, WTSQuerySessionInformationW, WTSFreeMemory and
// WTSQueryUserToken, and every query of such a user token, goes through the table returned by
// CurrentWtsFunctions(). The system table calls wtsapi32; a test installs a table of its own to
// present any list of sessions. The table is swapped atomically; the caller of SetWtsFunctions
// keeps the table alive for as long as it is installed, and memory handed out by one table is freed
// through the same table.
#pragma once

#include <windows.h>

#include <memory>

#include "win/sdk_compat.h"

namespace win {

struct WtsFunctions {
    // Same arguments and results as the wtsapi32 functions of the same names.
    BOOL(WINAPI* enumerateSessions)
    (HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions, DWORD* count);
    BOOL(WINAPI* querySessionInformation)
    (HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer, DWORD* bytes);
    void(WINAPI* freeMemory)(PVOID memory);
    BOOL(WINAPI* queryUserToken)(ULONG sessionId, PHANDLE token);
    // GetTokenInformation, for the tokens queryUserToken hands out: a session's user decides
    // whether that token is elevated.
    BOOL(WINAPI* getTokenInformation)
    (HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID information, DWORD length,
     PDWORD returned);
};

// The table that calls wtsapi32.
const WtsFunctions& SystemWtsFunctions();

// The table in force (the system table unless another was installed).
const WtsFunctions& CurrentWtsFunctions();

// Installs |functions| (nullptr restores the system table) and returns the one it replaces.
const WtsFunctions* SetWtsFunctions(const WtsFunctions* functions);

// Frees a buffer through the table that handed it out, keeping the thread's last error.
struct WtsMemoryDeleter {
    const WtsFunctions* functions = nullptr;
    void operator()(void* memory) const {
        const DWORD lastError = ::GetLastError();
        functions->freeMemory(memory);
        ::SetLastError(lastError);
    }
};
// A buffer returned by the session functions of one table, freed through the same table.
template <typename T>
using UniqueWtsMemory = std::unique_ptr<T, WtsMemoryDeleter>;

}  // namespace win
