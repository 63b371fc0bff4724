#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace test {

CapturingEventReporter::CapturingEventReporter() : previous_(win::SetEventReporter(this)) {}

CapturingEventReporter::~CapturingEventReporter() {
    win::SetEventReporter(previous_);
}

BOOL CapturingEventReporter::Report(HANDLE /*source*/, WORD type, WORD /*category*/, DWORD eventId,
                                    PSID /*userSid*/, WORD stringCount, DWORD /*rawDataSize*/,
                                    LPCWSTR* strings, LPVOID /*rawData*/) {
    RecordedEvent event;
    event.type = type;
    event.id = eventId;
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

void CapturingEventReporter::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
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

std::optional<DWORD> MachineDword(const wchar_t* keyPath, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, keyPath, name, RRF_RT_REG_DWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    ::CloseHandle(file);
    return bytes;
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ReadServiceLogMessages(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::vector<std::wstring> messages;
    if (bytes.size() < 2) {
        return messages;
    }
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {  // skip the byte-order mark
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    const size_t kStampLength = 22;  // "[2026-12-06 08:55:59] "
    for (std::wstring& line : SplitLines(text, std::wstring(L"\r\n"))) {
        if (line.size() >= kStampLength && line[0] == L'[') {
            line.erase(0, kStampLength);
        }
        messages.push_back(std::move(line));
    }
    return messages;
}

std::vector<std::wstring> Concat(std::initializer_list<std::vector<std::wstring>> parts) {
    std::vector<std::wstring> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<std::wstring> ServiceStartLines(DWORD initialStatus) {
    return {
        L"int APIENTRY wWinMain entered",
        L"void WINAPI Nyx::ServiceMain : ServiceMain entered",
        L"m_context.running status : 0",
        L"void Nyx::ServiceLoop entered",
        L"UpgradeStatus Initial read from registry: " + std::to_wstring(initialStatus),
        L"start looking for capsule - Wait for 1 minute - ",
    };
}

std::wstring HostPathToWindows(const std::string& hostPath) {
    std::wstring path = L"Z:";
    for (const char c : hostPath) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return path;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"nyxtest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(::InterlockedIncrement(&counter));
    if (!path_.empty() && path_.back() == L'\\') {
        path_.pop_back();
    }
    RemoveTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                          nullptr, nullptr);
    return out;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds, DWORD pollMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}

bool InitWithHostPaths(int& argc, char** argv, const char* usage,
                       std::initializer_list<std::wstring*> paths) {
    ::testing::InitGoogleTest(&argc, argv);
    if (static_cast<size_t>(argc) < paths.size() + 1) {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        return false;
    }
    int index = 1;
    for (std::wstring* path : paths) {
        *path = HostPathToWindows(argv[index++]);
    }
    return true;
}

namespace {

constexpr wchar_t kServiceName[] = L"QvNyxService";

}  // namespace

InstalledService::~InstalledService() {
    Remove();
}

bool InstalledService::Open() {
    manager_.Reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_.IsValid()) {
        return false;
    }
    win::UniqueServiceHandle old(::OpenServiceW(manager_.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (old) {
        SERVICE_STATUS status;
        ::ControlService(old.Get(), SERVICE_CONTROL_STOP, &status);
        WaitUntil([&] {
            return ::QueryServiceStatus(old.Get(), &status) &&
                   status.dwCurrentState == SERVICE_STOPPED;
        });
        ::DeleteService(old.Get());
    }
    return true;
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
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return SERVICE_STATUS_PROCESS{};
    }
    return status;
}

bool InstalledService::WaitForState(DWORD state) const {
    return WaitUntil([&] { return QueryState() == state; });
}

bool InstalledService::Stop() {
    if (QueryState() == SERVICE_STOPPED) {
        return true;
    }
    SERVICE_STATUS status;
    ::ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status);
    return WaitForState(SERVICE_STOPPED);
}

}  // namespace test
