// Declarations of the Windows SDK that MinGW-w64's headers lack, written to match the SDK's
// layout and values. Include after <windows.h>. Each block is guarded so that a toolchain
// whose headers have the declaration keeps its own.
#pragma once

#include <windows.h>

// ---- Terminal Services sessions (wtsapi32) ----

// ---- COM / WMI ----
