#include "engine/nyx.h"

// Until the update checks run here, the loop only keeps the service alive until it is asked
// to stop.
void Nyx::ServiceLoop(ServiceContext* context) {
    if (context == nullptr) {
        return;
    }
    ::WaitForSingleObject(context->stopEvent, INFINITE);
}
