// Simulated power cuts: "CrashAt" (REG_SZ) names the point at which the service ends its own
// process at once, without any cleanup. The value is deleted first, so the next start runs on.
#include <iterator>

#include "records/crash_point.h"
#include "simulation/simulation_settings.h"

void ReachCrashPoint(CrashPoint point) {
    static const wchar_t* const kNames[] = {L"staged", L"recording", L"recorded", L"launched",
                                            L"tool-ended"};
    const size_t index = static_cast<size_t>(point);
    const auto wanted = simulation::ReadStringSetting(L"CrashAt");
    if (!wanted || index >= std::size(kNames) || *wanted != kNames[index]) {
        return;
    }
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, simulation::kSettingsKey, L"CrashAt");
    ::TerminateProcess(::GetCurrentProcess(), ERROR_PROCESS_ABORTED);
}
