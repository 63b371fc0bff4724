#include "engine/boot_time.h"

#include "records/boot_identity.h"

std::wstring ReadBootIdentity() {
    return BootIdentityFromVolatileKey();
}
