// How long the service loop waits after the service started before its first check.
//
// Each program links exactly one definition: the service links the fixed one-minute wait
// (library nyx_machine_defaults), the simulation build one that reads its settings.
#pragma once

#include <windows.h>

// Milliseconds of the first wait; read once per start of the loop.
DWORD ServiceStartupDelayMs();
