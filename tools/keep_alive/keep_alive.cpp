// Keeps a Wine prefix's services alive: Wine ends service processes when the last ordinary
// process of the prefix exits, so scripts run this in the background while a service must
// run, and end it afterwards.
#include <windows.h>

int main() {
    ::Sleep(INFINITE);
    return 0;
}
