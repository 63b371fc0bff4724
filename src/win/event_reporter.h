// The one way the program writes to the event log.
//
// Every ReportEventW of the program goes through the process-wide reporter returned by
// CurrentEventReporter(). The system reporter calls ReportEventW; a test installs a capturing
// sink, and the simulation build one that also appends each event to a file. The reporter is
// swapped atomically, so any thread may report while another installs a new one; the caller
// of SetEventReporter keeps the object alive for as long as it is installed.
#pragma once

#include <windows.h>

namespace win {

class EventReporter {
public:
    virtual ~EventReporter() = default;
    // Same arguments and result as ReportEventW.
    virtual BOOL Report(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                        WORD stringCount, DWORD rawDataSize, LPCWSTR* strings, LPVOID rawData) = 0;
};

// The reporter that calls ReportEventW itself.
EventReporter& SystemEventReporter();

// The reporter in force (the system reporter unless another was installed).
EventReporter& CurrentEventReporter();

// Installs |reporter| (nullptr restores the system reporter) and returns the one it replaces.
EventReporter* SetEventReporter(EventReporter* reporter);

}  // namespace win
