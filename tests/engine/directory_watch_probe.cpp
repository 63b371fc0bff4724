// Calls Nyx::StartDirectoryMonitoring on the folder named by its one argument, for the tests of
// what a watch that cannot be opened does to the process. Exit codes: the one the call ends the
// process with when it fails; 0 when the watch was opened (it is closed again); 100 when the
// argument is missing.
#include <windows.h>

#include "engine/nyx.h"
#include "win/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 100;
    }
    const win::UniqueChangeNotification watch(Nyx::StartDirectoryMonitoring(argv[1]));
    return 0;
}
