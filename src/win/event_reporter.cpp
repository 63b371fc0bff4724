#include "win/event_reporter.h"

#include <atomic>

namespace win {
namespace {

class SystemReporter final : public EventReporter {
public:
    BOOL Report(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                WORD stringCount, DWORD rawDataSize, LPCWSTR* strings, LPVOID rawData) override {
        return ::ReportEventW(source, type, category, eventId, userSid, stringCount, rawDataSize,
                              strings, rawData);
    }
};

// Constant-initialised, so reports made during static initialisation of other units
// already see a valid (null = system) value.
std::atomic<EventReporter*> installedReporter{nullptr};

}  // namespace

EventReporter& SystemEventReporter() {
    static SystemReporter reporter;
    return reporter;
}

EventReporter& CurrentEventReporter() {
    EventReporter* reporter = installedReporter.load(std::memory_order_acquire);
    return reporter != nullptr ? *reporter : SystemEventReporter();
}

EventReporter* SetEventReporter(EventReporter* reporter) {
    return installedReporter.exchange(reporter, std::memory_order_acq_rel);
}

}  // namespace win
