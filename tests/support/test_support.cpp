#include "support/test_support.h"

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
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        if (line.size() >= kStampLength && line[0] == L'[') {
            line.erase(0, kStampLength);
        }
        messages.push_back(line);
        start = end + 2;
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

}  // namespace test
