#include "engine/startup_delay.h"

// Gives the machine a minute after boot before the first check (the flashing tool needs a
// user at the desktop, and Windows Update may still be installing the package).
DWORD ServiceStartupDelayMs() {
    return 60000;
}
