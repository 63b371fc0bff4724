// Helpers shared by the Windows tests: a capturing event sink and readers of the files the
// service writes.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "win/event_reporter.h"

namespace test {

struct RecordedEvent {
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::wstring> strings;  // as many as the string count passed
};

// Installs itself as the process-wide event reporter for its lifetime and records every
// report instead of writing the event log.
class CapturingEventReporter final : public win::EventReporter {
public:
    CapturingEventReporter();
    ~CapturingEventReporter() override;

    BOOL Report(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                WORD stringCount, DWORD rawDataSize, LPCWSTR* strings, LPVOID rawData) override;

    std::vector<RecordedEvent> Events() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
    win::EventReporter* previous_;
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);

bool FileExists(const std::wstring& path);

// The messages of a service log file (UTF-16LE with BOM, CR LF lines), each line's
// "[yyyy-mm-dd hh:mm:ss] " time stamp removed. Empty when there is no file.
std::vector<std::wstring> ReadServiceLogMessages(const std::wstring& path);

// A Linux path as Wine sees it (drive Z: is the Linux root).
std::wstring HostPathToWindows(const std::string& hostPath);

// Deletes a folder tree; missing is fine.
void RemoveTree(const std::wstring& path);

// A unique, empty folder under the prefix's temporary folder, removed on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

}  // namespace test
