#include "engine/nyx.h"

ServiceContext Nyx::m_context{nullptr, nullptr, INVALID_HANDLE_VALUE, 0};
HANDLE Nyx::m_serviceStopEvent = nullptr;
HANDLE Nyx::m_logonEvent = nullptr;
