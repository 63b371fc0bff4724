// Helpers shared by the Windows tests: events, registry values, files, folders, the service.
#pragma once
#include <windows.h>
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "win/event_reporter.h"
#include "win/unique_handle.h"
#include "win/utf8.h"

namespace test {
inline constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvNyxService";
// Stores a value under HKEY_LOCAL_MACHINE\|keyPath|, creating the key (a test failure if not).
void SetMachineValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data,
                     DWORD size);
// Stores a REG_SZ value under HKEY_CURRENT_USER\|keyPath| (a test failure if not).
void SetUserValue(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text);
// A REG_DWORD value under HKEY_LOCAL_MACHINE\|keyPath|; nothing when it is missing.
std::optional<DWORD> MachineDword(const wchar_t* keyPath, const wchar_t* name);

struct RecordedEvent {
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::wstring> strings;  // as many as the string count passed
};
// Installs itself as the process-wide event reporter for its lifetime and records every
// report instead of writing the event log.
class CapturingEventReporter final : public win::EventReporter {
public:
    CapturingEventReporter() : previous_(win::SetEventReporter(this)) {}
    ~CapturingEventReporter() override { win::SetEventReporter(previous_); }
    BOOL Report(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                WORD stringCount, DWORD rawDataSize, LPCWSTR* strings, LPVOID rawData) override;
    std::vector<RecordedEvent> Events() const;
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
    win::EventReporter* previous_;
};

// The pieces of |text| between |separator|s; a separator at the very end starts no further piece.
template <typename Text>
std::vector<Text> SplitLines(const Text& text, const Text& separator) {
    std::vector<Text> lines;
    for (size_t start = 0, end = 0; start < text.size(); start = end + separator.size()) {
        end = std::min(text.find(separator, start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string ReadFileBytes(const std::wstring& path);  // empty when it cannot be read
bool FileExists(const std::wstring& path);
// The messages of a service log file (UTF-16LE with BOM, CR LF lines), each line's
// "[yyyy-mm-dd hh:mm:ss] " time stamp removed, only those among |among| when given. Empty when
// there is no file.
std::vector<std::wstring> ReadServiceLogMessages(const std::wstring& path,
                                                 const std::vector<std::wstring>* among = nullptr);
// A Linux path as Wine sees it (drive Z: is the Linux root).
std::wstring HostPathToWindows(const std::string& hostPath);
void RemoveTree(const std::wstring& path);  // deletes a folder tree; missing is fine
// Runs |script| with the host's shell in the folder |folder| (for what Wine cannot do itself:
// Unix modes, links) and waits until it has ended; whether it succeeded within 10 s.
bool RunOnHost(const std::wstring& folder, const std::wstring& script);

// A unique, empty folder under the prefix's temporary folder, removed on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
// Narrow text (UTF-8) from a wide one, as the service converts it.
inline std::string Utf8(const std::wstring& text) {
    return win::WideToUtf8(text);
}
// Polls |condition| every |pollMs| until it holds or |milliseconds| have passed; whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 60000,
               DWORD pollMs = 150);
// For a main that takes host paths: initialises GoogleTest, then converts the arguments left,
// one for each of |paths| in order, into Windows paths. Prints "usage: <program> |usage|" and
// answers false when fewer are given.
bool InitWithHostPaths(int& argc, char** argv, const char* usage,
                       std::initializer_list<std::wstring*> paths);

// The service QvNyxService in the prefix's service control manager, as a test installs it:
// own process, demand start, LocalSystem. Removed again (stopped first) on destruction.
class InstalledService {
public:
    InstalledService() = default;
    ~InstalledService() { Remove(); }
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;
    // Opens the service control manager and removes a service of that name that an earlier run
    // left behind. False, with the thread's last error, when the manager cannot be opened.
    bool Open();
    // Creates the service running |image|. False, with the thread's last error, on failure.
    bool Install(const std::wstring& image);
    // Stops (when running) and deletes the installed service; nothing when none is installed.
    void Remove();
    SC_HANDLE Get() const { return service_.Get(); }
    SERVICE_STATUS_PROCESS QueryStatus() const;  // zeroed when it cannot be read
    DWORD QueryState() const { return QueryStatus().dwCurrentState; }
    bool WaitForState(DWORD state) const {
        return WaitUntil([&] { return QueryState() == state; });
    }
    bool Stop();  // sends the stop control and waits for STOPPED

private:
    win::UniqueServiceHandle manager_;
    win::UniqueServiceHandle service_;
};
}  // namespace test
