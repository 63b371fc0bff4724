// The identity of the boot the machine runs in: the witness of a reboot between an update attempt
// and a later start of the service. It must change at every boot and must not depend on the
// clock (a clock set forward would fake a reboot, one behind at boot would hide it), nor on when
// the service key was last written (any installer or policy writing there would hide a reboot).
//
// The service creates a random identity once per boot in a volatile registry key, which the system
// forgets at every shutdown: "SYSTEM\CurrentControlSet\Services\QvNyxService\Boot", value
// "Identity". Like the service key, only SYSTEM and Administrators may change it.
#pragma once

#include <string>

// This boot's identity: the one already stored in the volatile key, or a new random one stored
// there now. Empty when neither could be done (then every start counts as another boot's).
std::wstring BootIdentityFromVolatileKey();
