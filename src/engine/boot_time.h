// When the machine last started, as the service loop needs it to tell whether the flash it
// handed over has been through a reboot.
//
// Each program links exactly one definition of ReadBootTime: the service the system's own
// (library nyx_machine_defaults), the simulation build one that reads its settings.
#pragma once

#include <windows.h>

// The last start of the machine (UTC).
FILETIME ReadBootTime();

// The last start of the machine from the system's clock and its time since start.
inline FILETIME BootTimeFromTickCount() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time;
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    time.QuadPart -= ::GetTickCount64() * 10000;  // milliseconds to 100-nanosecond units
    FILETIME boot;
    boot.dwLowDateTime = time.LowPart;
    boot.dwHighDateTime = time.HighPart;
    return boot;
}
