// Declarations of the Windows SDK that MinGW-w64's headers lack, written to match the SDK's
// layout and values. Include after <windows.h>. Each block is guarded so that a toolchain
// whose headers have the declaration keeps its own.
#pragma once

#include <windows.h>

// ---- Terminal Services sessions (wtsapi32) ----
#include <wtsapi32.h>

// Extended session information (WTSSessionInfoEx), the remote-session query and the session
// lock flags arrived together in the Windows 7 SDK; a header that has the flags has them all.
#ifndef WTS_SESSIONSTATE_UNKNOWN
#define WTS_SESSIONSTATE_UNKNOWN 0xFFFFFFFF
#define WTS_SESSIONSTATE_LOCK 0x00000000
#define WTS_SESSIONSTATE_UNLOCK 0x00000001

constexpr WTS_INFO_CLASS WTSSessionInfoEx = static_cast<WTS_INFO_CLASS>(25);
constexpr WTS_INFO_CLASS WTSIsRemoteSession = static_cast<WTS_INFO_CLASS>(29);

typedef struct _WTSINFOEX_LEVEL1_W {
    ULONG SessionId;
    WTS_CONNECTSTATE_CLASS SessionState;
    LONG SessionFlags;
    WCHAR WinStationName[WINSTATIONNAME_LENGTH + 1];
    WCHAR UserName[USERNAME_LENGTH + 1];
    WCHAR DomainName[DOMAIN_LENGTH + 1];
    LARGE_INTEGER LogonTime;
    LARGE_INTEGER ConnectTime;
    LARGE_INTEGER DisconnectTime;
    LARGE_INTEGER LastInputTime;
    LARGE_INTEGER CurrentTime;
    DWORD IncomingBytes;
    DWORD OutgoingBytes;
    DWORD IncomingFrames;
    DWORD OutgoingFrames;
    DWORD IncomingCompressedBytes;
    DWORD OutgoingCompressedBytes;
} WTSINFOEX_LEVEL1_W, *PWTSINFOEX_LEVEL1_W;

typedef union _WTSINFOEX_LEVEL_W {
    WTSINFOEX_LEVEL1_W WTSInfoExLevel1;
} WTSINFOEX_LEVEL_W, *PWTSINFOEX_LEVEL_W;

typedef struct _WTSINFOEXW {
    DWORD Level;
    WTSINFOEX_LEVEL_W Data;
} WTSINFOEXW, *PWTSINFOEXW;
#endif  // WTS_SESSIONSTATE_UNKNOWN

// ---- COM / WMI ----
// The WMI wrapper (platform/wmi_connection.cpp) needs nothing beyond MinGW-w64's own
// wbemcli.h, objbase.h and oleauto.h and the import libraries ole32, oleaut32 and wbemuuid.
// It deliberately avoids the COM support classes (_bstr_t, _variant_t, _com_error): MinGW
// ships their headers but not the comsupp library behind them, and they throw on failure.
