#include "engine/boot_time.h"

FILETIME ReadBootTime() {
    return BootTimeFromTickCount();
}
