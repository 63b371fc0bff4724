// Makes the events the program reports visible where Wine stores none: with "EventFile" set,
// each report is also appended to that file as one UTF-8 line,
//   <Error|Warning|Information> 0x<ID> |<string 1> |<string 2>
// (CR and LF inside a string become blanks). The real ReportEventW is still called.
#include <cstdio>
#include <mutex>
#include <string>

#include "simulation/simulation_settings.h"
#include "win/event_reporter.h"
#include "win/unique_handle.h"
#include "win/utf8.h"

namespace {

const wchar_t* TypeWord(WORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return L"Error";
        case EVENTLOG_WARNING_TYPE:
            return L"Warning";
        default:
            return L"Information";
    }
}

class EventFileReporter final : public win::EventReporter {
public:
    BOOL Report(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid,
                WORD stringCount, DWORD rawDataSize, LPCWSTR* strings, LPVOID rawData) override {
        if (const auto path = simulation::ReadStringSetting(L"EventFile")) {
            Append(*path, FormatLine(type, eventId, stringCount, strings));
        }
        return win::SystemEventReporter().Report(source, type, category, eventId, userSid,
                                                 stringCount, rawDataSize, strings, rawData);
    }

private:
    static std::string FormatLine(WORD type, DWORD eventId, WORD stringCount, LPCWSTR* strings) {
        wchar_t id[16];
        std::swprintf(id, 16, L"0x%08X", static_cast<unsigned>(eventId));
        std::wstring line = std::wstring(TypeWord(type)) + L" " + id;
        for (WORD i = 0; i < stringCount; ++i) {
            std::wstring text = strings[i] != nullptr ? strings[i] : L"";
            for (wchar_t& c : text) {
                if (c == L'\r' || c == L'\n') {
                    c = L' ';
                }
            }
            line += L" |" + text;
        }
        return win::WideToUtf8(line) + "\n";
    }

    void Append(const std::wstring& path, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        win::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return;
        }
        DWORD written = 0;
        ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

    std::mutex mutex_;
};

EventFileReporter reporter;
const bool installed = (win::SetEventReporter(&reporter), true);

}  // namespace
