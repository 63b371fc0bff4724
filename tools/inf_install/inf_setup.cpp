#include "inf_setup.h"

#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace inf_install {
namespace {

constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

// The INF's text as the setup API reads it: UTF-16 after a byte-order mark, UTF-8 after its
// mark, otherwise the ANSI code page.
bool ReadInfText(const std::wstring& path, std::wstring& text, DWORD& error) {
    win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = ::GetLastError();
        return false;
    }
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    for (;;) {
        if (!::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr)) {
            error = ::GetLastError();
            return false;
        }
        if (read == 0) {
            break;
        }
        bytes.append(buffer, read);
    }
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        return true;
    }
    UINT codePage = CP_ACP;
    size_t start = 0;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        codePage = CP_UTF8;
        start = 3;
    }
    const int length = static_cast<int>(bytes.size() - start);
    text.resize(length);
    if (length > 0) {
        text.resize(
            ::MultiByteToWideChar(codePage, 0, bytes.data() + start, length, &text[0], length));
    }
    return true;
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text, DWORD& error) {
    win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file) {
        error = ::GetLastError();
        return false;
    }
    const std::wstring content = L"\xFEFF" + text;
    const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!::WriteFile(file.Get(), content.data(), size, &written, nullptr) || written != size) {
        error = ::GetLastError();
        return false;
    }
    return true;
}

// Field |index| of an INF line (1-based), with the INF's substitutions done; empty when the
// field is missing or empty.
std::wstring Field(INFCONTEXT& line, DWORD index) {
    wchar_t buffer[MAX_INF_STRING_LENGTH];
    if (!::SetupGetStringFieldW(&line, index, buffer, MAX_INF_STRING_LENGTH, nullptr)) {
        return std::wstring();
    }
    return buffer;
}

INT IntField(INFCONTEXT& line, DWORD index) {
    INT value = 0;
    if (!::SetupGetIntField(&line, index, &value)) {
        return 0;
    }
    return value;
}

struct EventLogEntry {
    std::wstring installSection;  // AddService only
    std::wstring keyPath;         // under HKLM
};

// The event-log entries of the AddService lines (with an event-log install section) or of the
// DelService lines (with SPSVCINST_DELETEEVENTLOGENTRY) of |servicesSection|. The log defaults
// to System and the source to the service's name, as for the setup API.
std::vector<EventLogEntry> EventLogEntries(HINF inf, const std::wstring& servicesSection,
                                           bool added) {
    std::vector<EventLogEntry> entries;
    const wchar_t* directive = added ? L"AddService" : L"DelService";
    // Field positions: AddService = name, flags, service section, event-log section, log,
    // source; DelService = name, flags, log, source.
    const DWORD logField = added ? 5 : 3;
    INFCONTEXT line;
    if (!::SetupFindFirstLineW(inf, servicesSection.c_str(), directive, &line)) {
        return entries;
    }
    do {
        const std::wstring service = Field(line, 1);
        if (service.empty()) {
            continue;  // the null driver: no service, no event log
        }
        EventLogEntry entry;
        if (added) {
            entry.installSection = Field(line, 4);
            if (entry.installSection.empty()) {
                continue;
            }
        } else if ((IntField(line, 2) & SPSVCINST_DELETEEVENTLOGENTRY) == 0) {
            continue;
        }
        std::wstring log = Field(line, logField);
        std::wstring source = Field(line, logField + 1);
        entry.keyPath = std::wstring(kEventLogKey) + (log.empty() ? L"System" : log) + L"\\" +
                        (source.empty() ? service : source);
        entries.push_back(entry);
    } while (::SetupFindNextMatchLineW(&line, directive, &line));
    return entries;
}

DWORD InstallEventLogEntry(HINF inf, const EventLogEntry& entry) {
    win::UniqueRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, entry.keyPath.c_str(), 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return static_cast<DWORD>(status);
    }
    // HKR in the event-log install section is the source's own key.
    if (!::SetupInstallFromInfSectionW(nullptr, inf, entry.installSection.c_str(), SPINST_REGISTRY,
                                       key.Get(), nullptr, 0, nullptr, nullptr, nullptr, nullptr)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD DeleteEventLogEntry(const EventLogEntry& entry) {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, entry.keyPath.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return static_cast<DWORD>(status);
    }
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    const LSTATUS deleted = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, entry.keyPath.c_str());
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        return static_cast<DWORD>(deleted);
    }
    return ERROR_SUCCESS;
}

}  // namespace

PackageInf::PackageInf(const std::wstring& infPath, const std::wstring& packageFolder) {
    std::wstring text;
    if (!ReadInfText(infPath, text, error_)) {
        return;
    }
    // A [Strings] section may appear more than once; the setup API joins them.
    text += L"\r\n[Strings]\r\n13 = \"" + packageFolder + L"\"\r\n";

    wchar_t tempFolder[MAX_PATH];
    wchar_t copyPath[MAX_PATH];
    if (::GetTempPathW(MAX_PATH, tempFolder) == 0 ||
        ::GetTempFileNameW(tempFolder, L"inf", 0, copyPath) == 0) {
        error_ = ::GetLastError();
        return;
    }
    copyPath_ = copyPath;
    if (!WriteUtf16File(copyPath_, text, error_)) {
        return;
    }
    inf_.Reset(::SetupOpenInfFileW(copyPath_.c_str(), nullptr, INF_STYLE_WIN4, &errorLine_));
    if (!inf_) {
        error_ = ::GetLastError();
    }
}

PackageInf::~PackageInf() {
    inf_.Reset();
    if (!copyPath_.empty()) {
        ::DeleteFileW(copyPath_.c_str());
    }
}

DWORD ApplySection(HINF inf, const std::wstring& section) {
    if (::SetupGetLineCountW(inf, section.c_str()) < 0) {
        return ERROR_SECTION_NOT_FOUND;
    }
    if (!::SetupInstallFromInfSectionW(nullptr, inf, section.c_str(), SPINST_REGISTRY, nullptr,
                                       nullptr, 0, nullptr, nullptr, nullptr, nullptr)) {
        return ::GetLastError();
    }

    const std::wstring services = section + L".Services";
    if (::SetupGetLineCountW(inf, services.c_str()) < 0) {
        return ERROR_SUCCESS;
    }
    if (!::SetupInstallServicesFromInfSectionW(inf, services.c_str(), 0)) {
        return ::GetLastError();
    }
    for (const EventLogEntry& entry : EventLogEntries(inf, services, true)) {
        const DWORD error = InstallEventLogEntry(inf, entry);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    for (const EventLogEntry& entry : EventLogEntries(inf, services, false)) {
        const DWORD error = DeleteEventLogEntry(entry);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace inf_install
