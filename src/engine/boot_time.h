// Which boot the machine runs in, as the service loop needs it to tell whether an update attempt
// has been through a reboot.
//
// Each program links exactly one definition of ReadBootIdentity: the service the system's own
// (library nyx_machine_defaults: records/boot_identity.h), the simulation build one that reads
// its settings.
#pragma once

#include <windows.h>

#include <string>

// The identity of this boot: the same text for every call until the machine restarts, another
// one after.
std::wstring ReadBootIdentity();

// The last start of the machine from the system's clock and its time since start. Only a record
// written by an earlier version, which carries no boot identity, is judged by it.
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
