// Watches the folder of its argument with Nyx::StartDirectoryMonitoring (for engine_test).
#include "engine/nyx.h"
int wmain(int /*argc*/, wchar_t** argv) {
    ::FindCloseChangeNotification(Nyx::StartDirectoryMonitoring(argv[1]));
    return 0;
}
