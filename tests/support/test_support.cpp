#include "support/test_support.h"
#include "win/protected_files.h"
#include <gtest/gtest.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace test {
constexpr wchar_t kServiceName[] = L"QvNyxService";

BOOL CapturingEventReporter::Report(HANDLE /*source*/, WORD type, WORD /*category*/, DWORD eventId,
                                    PSID /*userSid*/, WORD stringCount, DWORD /*rawDataSize*/,
                                    LPCWSTR* strings, LPVOID /*rawData*/) {
    RecordedEvent event{type, eventId, {}};
    for (WORD i = 0; i < stringCount; ++i) {
        event.strings.emplace_back(strings[i] != nullptr ? strings[i] : L"<null>");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    return TRUE;
}

std::vector<RecordedEvent> CapturingEventReporter::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void SetMachineValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data,
                     DWORD size) {
    win::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                key.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS)
        << Utf8(name);
}

void SetUserValue(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, keyPath, name, REG_SZ, text.c_str(),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

std::optional<DWORD> MachineDword(const wchar_t* keyPath, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    const LSTATUS status =
        ::RegGetValueW(HKEY_LOCAL_MACHINE, keyPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return status == ERROR_SUCCESS ? std::optional<DWORD>(value) : std::nullopt;
}

std::string ReadFileBytes(const std::wstring& path) {
    const win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));  // share all
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ReadServiceLogMessages(const std::wstring& path,
                                                 const std::vector<std::wstring>* among) {
    const std::string bytes = ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(&text[0], bytes.data(), text.size() * 2);  // UTF-16LE, as Windows stores it
    std::vector<std::wstring> messages;
    for (std::wstring& line :
         SplitLines(text.substr(text.empty() ? 0 : 1), std::wstring(L"\r\n"))) {
        if (line.size() >= 22 && line[0] == L'[') {
            line.erase(0, 22);  // "[2026-12-06 08:55:59] "
        }
        if (!among || std::find(among->begin(), among->end(), line) != among->end()) {
            messages.push_back(line);
        }
    }
    return messages;
}

std::wstring HostPathToWindows(const std::string& hostPath) {
    std::wstring path = L"Z:";
    for (const char c : hostPath) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return path;
}

void RemoveTree(const std::wstring& path) {
    win::RemoveFolderTree(path);  // a link inside is removed itself, never what it leads to
}

bool RunOnHost(const std::wstring& folder, const std::wstring& script) {
    // Wine gives no handle to wait on for a host program: it marks its end with a file.
    const std::wstring done = folder + L"\\.nyx_host_done";
    std::wstring command = L"sh -c \"" + script + L" && touch .nyx_host_done\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    const bool ended = WaitUntil([&] { return FileExists(done); }, 10000, 20);
    ::DeleteFileW(done.c_str());
    return ended;
}

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];  // ends in a backslash
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"nyxtest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(::InterlockedIncrement(&counter));
    RemoveTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds, DWORD pollMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

bool InitWithHostPaths(int& argc, char** argv, const char* usage,
                       std::initializer_list<std::wstring*> paths) {
    ::testing::InitGoogleTest(&argc, argv);
    if (static_cast<size_t>(argc) < paths.size() + 1) {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        return false;
    }
    for (std::wstring* path : paths) {
        *path = HostPathToWindows(*++argv);
    }
    return true;
}

bool InstalledService::Open() {
    manager_.Reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    service_.Reset(::OpenServiceW(manager_.Get(), kServiceName, SERVICE_ALL_ACCESS));
    Remove();  // one an earlier run left behind
    return manager_.IsValid();
}

bool InstalledService::Install(const std::wstring& image) {
    const std::wstring binaryPath = L"\"" + image + L"\"";
    service_.Reset(::CreateServiceW(manager_.Get(), kServiceName, L"QV NYX Service",
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    return service_.IsValid();
}

void InstalledService::Remove() {
    if (service_) {
        Stop();
        ::DeleteService(service_.Get());
        service_.Reset();
    }
}

SERVICE_STATUS_PROCESS InstalledService::QueryStatus() const {
    SERVICE_STATUS_PROCESS status{};  // left so when the call fails
    DWORD needed = 0;
    ::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof(status), &needed);
    return status;
}

bool InstalledService::Stop() {
    SERVICE_STATUS status;
    ::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status);
    return WaitForState(SERVICE_STOPPED);
}

}  // namespace test
