// A stand-in for the maker's flashing tool, for tests and demonstrations only: it flashes
// nothing. It is built under the names the service starts and stages (the flashing tool and the
// toast activator, in their 64-bit and plain names).
//
// The service starts it with a fixed command line, the user's environment and only the staged
// files, so it takes its orders from, and leaves its record in, files at a fixed place:
//   C:\FakeFlashTool\order.txt   what to do: a decimal exit code ("0", "3010", "1", ...), the
//                                same after a wait ("1 after 2000": exit code 1 after 2 s) or
//                                "sleep" (wait until terminated); missing means exit code 0
//   C:\FakeFlashTool\record.txt  written before it acts, UTF-8, one "name=value" line each:
//                                pid, command_line, working_folder, image, desktop (from its
//                                start-up information), console_processes (how many processes
//                                share its console), marker (the value of the variable
//                                NYX_FAKE_FLASH_MARKER in its environment), upgrade_status (the
//                                service's UpgradeStatus value as the tool starts, or "none"),
//                                attempt_count (its AttemptCount, the same way), bin_files (the
//                                .bin files in its working folder, each followed by ";"), and
//                                the variables of its environment that steer what a program
//                                loads or starts (Path, TEMP, windir, ComSpec, ...)
// The record is written under another name and renamed, so a reader never sees half of it.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "win/utf8.h"

namespace {

const wchar_t kOrderPath[] = L"C:\\FakeFlashTool\\order.txt";
const wchar_t kRecordPath[] = L"C:\\FakeFlashTool\\record.txt";
const wchar_t kRecordTempPath[] = L"C:\\FakeFlashTool\\record.tmp";

std::string ReadOrder() {
    HANDLE file = ::CreateFileW(kOrderPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "0";
    }
    char buffer[64] = {};
    DWORD read = 0;
    ::ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    ::CloseHandle(file);
    std::string order(buffer, read);
    while (!order.empty() &&
           (order.back() == '\r' || order.back() == '\n' || order.back() == ' ')) {
        order.pop_back();
    }
    return order;
}

std::wstring CurrentFolder() {
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    return std::wstring(buffer, length < MAX_PATH * 2 ? length : 0);
}

std::wstring ImagePath() {
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    return std::wstring(buffer, length < MAX_PATH * 2 ? length : 0);
}

std::string Variable(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 4096);
    return win::WideToUtf8(std::wstring(buffer, length < 4096 ? length : 0));
}

std::string BinFiles() {
    std::string names;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW(L"*.bin", &entry);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &entry)) {
        names += win::WideToUtf8(entry.cFileName) + ";";
    }
    if (find != INVALID_HANDLE_VALUE) {
        ::FindClose(find);
    }
    return names;
}

std::wstring Desktop() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    return startup.lpDesktop != nullptr ? startup.lpDesktop : L"";
}

DWORD ConsoleProcessCount() {
    DWORD processes[16] = {};
    return ::GetConsoleProcessList(processes, 16);
}

std::string ServiceValue(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QvNyxService",
                       name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return "none";
    }
    return std::to_string(value);
}

void WriteRecord() {
    std::string record;
    record += "pid=" + std::to_string(::GetCurrentProcessId()) + "\r\n";
    record += "command_line=" + win::WideToUtf8(::GetCommandLineW()) + "\r\n";
    record += "working_folder=" + win::WideToUtf8(CurrentFolder()) + "\r\n";
    record += "image=" + win::WideToUtf8(ImagePath()) + "\r\n";
    record += "desktop=" + win::WideToUtf8(Desktop()) + "\r\n";
    record += "console_processes=" + std::to_string(ConsoleProcessCount()) + "\r\n";
    record += "marker=" + Variable(L"NYX_FAKE_FLASH_MARKER") + "\r\n";
    record += "upgrade_status=" + ServiceValue(L"UpgradeStatus") + "\r\n";
    record += "attempt_count=" + ServiceValue(L"AttemptCount") + "\r\n";
    record += "bin_files=" + BinFiles() + "\r\n";
    for (const wchar_t* name :
         {L"Path", L"TEMP", L"TMP", L"windir", L"SystemRoot", L"ComSpec", L"PATHEXT", L"USERNAME",
          L"COR_ENABLE_PROFILING", L"COR_PROFILER_PATH", L"DOTNET_STARTUP_HOOKS"}) {
        record += win::WideToUtf8(name) + "=" + Variable(name) + "\r\n";
    }

    HANDLE file =
        ::CreateFileW(kRecordTempPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    ::CloseHandle(file);
    ::MoveFileExW(kRecordTempPath, kRecordPath, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain() {
    const std::string order = ReadOrder();
    WriteRecord();
    if (order == "sleep") {
        ::Sleep(INFINITE);
    }
    const size_t after = order.find(" after ");
    if (after != std::string::npos) {
        ::Sleep(std::strtoul(order.c_str() + after + 7, nullptr, 10));
    }
    ::ExitProcess(static_cast<UINT>(std::strtoul(order.c_str(), nullptr, 10)));
}
