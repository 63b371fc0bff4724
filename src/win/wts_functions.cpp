#include "win/wts_functions.h"

#include <atomic>

namespace win {
namespace {

// Constant-initialised: null stands for the system table.
std::atomic<const WtsFunctions*> installedFunctions{nullptr};

}  // namespace

const WtsFunctions& SystemWtsFunctions() {
    static const WtsFunctions functions{
        ::WTSEnumerateSessionsW, ::WTSQuerySessionInformationW, ::WTSFreeMemory,
        ::WTSQueryUserToken,     ::GetTokenInformation,
    };
    return functions;
}

const WtsFunctions& CurrentWtsFunctions() {
    const WtsFunctions* functions = installedFunctions.load(std::memory_order_acquire);
    return functions != nullptr ? *functions : SystemWtsFunctions();
}

const WtsFunctions* SetWtsFunctions(const WtsFunctions* functions) {
    return installedFunctions.exchange(functions, std::memory_order_acq_rel);
}

}  // namespace win
