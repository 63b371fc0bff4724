#include "records/service_log.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "records/event_log.h"
#include "records/messages.h"
#include "win/private_files.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

namespace {

// Longest text (terminator included) of the debugger line about a file that cannot be opened.
constexpr size_t kDebugLineCapacity = 256;

// The most bytes the service log holds: a line that would take it further starts a new file.
constexpr uint64_t kLogFileLimitBytes = 4 << 20;

// "[yyyy-mm-dd hh:mm:ss] ", which starts every line.
constexpr uint64_t kTimeStampChars = 22;

constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};

// Sends |line| to the debugger output; a long path cuts the line, which is only a hint.
void ReportToDebugger(std::wstring line) {
    if (line.size() > kDebugLineCapacity - 1) {
        line.resize(kDebugLineCapacity - 1);
    }
    ::OutputDebugStringW(line.c_str());
}

void ReportOpenFailure(const std::wstring& path, int error) {
    // Same text as "LogToFile: Failed to open file %ls (errno=%d)\n".
    ReportToDebugger(L"LogToFile: Failed to open file " + path + L" (errno=" +
                     std::to_wstring(error) + L")\n");
}

// The bytes the line of |message| takes in the file: UTF-16 text in which every line end, those
// inside the message and the one that closes the line, is written as carriage return and line
// feed.
uint64_t LineBytes(const std::wstring& message) {
    const uint64_t inside = std::count(message.begin(), message.end(), L'\n');
    return 2 * (kTimeStampChars + message.size() + inside + 2);
}

// Creates the log file, readable by SYSTEM and Administrators only (a user who could open it
// could also lock it while the service writes), with its byte-order mark. False when it cannot;
// a file another thread created meanwhile is left as it is.
bool CreateLogFile(const std::wstring& path) {
    DWORD error = ERROR_SUCCESS;
    const win::UniqueFileHandle file =
        win::CreateNewFileWithReaders(path, win::FileReaders::kNobody, error);
    if (!file && error == ERROR_FILE_EXISTS) {
        return true;
    }
    DWORD written = 0;
    return file &&
           ::WriteFile(file.Get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
}

// Makes room for a line of |lineBytes| in the file at |path|: when it would take a file that
// holds lines past kLogFileLimitBytes, the file becomes the previous log (replacing the one
// before) and the line starts a new file. False when the file stays and the line would cross.
bool MakeRoom(const std::wstring& path, uint64_t lineBytes) {
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file)) {
        return true;  // no file yet
    }
    const uint64_t size = (uint64_t{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
    if (size <= sizeof(kByteOrderMark) || size + lineBytes <= kLogFileLimitBytes) {
        return true;  // a line longer than a whole file still gets one of its own
    }
    const DWORD error =
        win::MoveFileWithReaders(path, PreviousLogPath(path), win::FileReaders::kNobody);
    if (error != ERROR_SUCCESS) {
        ReportToDebugger(L"LogToFile: Failed to move full file " + path + L" (error=" +
                         std::to_wstring(error) + L")\n");
    }
    return error == ERROR_SUCCESS;
}

void AppendLine(const std::wstring& message, const std::wstring& path) {
    if (path.empty()) {
        return;  // no folder to write to (the system directory could not be read)
    }
    // The threads that log take turns, so that two lines never both move a full file (the
    // second would move the first's new file over the full one).
    static std::mutex turn;
    const std::lock_guard<std::mutex> hold(turn);
    if (!MakeRoom(path, LineBytes(message))) {
        return;  // the line is lost rather than taking the file past its bound
    }
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const size_t separator = path.find_last_of(L"\\/");
        // Only the folder that holds the file is created, and only when the file could not be
        // created: most lines find it there.
        if (!CreateLogFile(path) && separator != std::wstring::npos) {
            win::CreateProtectedFolder(path.substr(0, separator), win::FolderReaders::kUsers);
            CreateLogFile(path);
        }
    }
    const win::UniqueStdioFile file(::_wfopen(path.c_str(), L"a, ccs=UNICODE"));
    if (!file) {
        ReportOpenFailure(path, errno);
        return;
    }
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::fwprintf(file.Get(), L"[%04d-%02d-%02d %02d:%02d:%02d] ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    std::fwprintf(file.Get(), L"%ls\n", message.c_str());
}

}  // namespace

void LogToFile(const std::wstring& message, const std::wstring& path) {
    // Callers log a failure and then report its error: creating the folder and writing the
    // line must not change it.
    const DWORD lastError = ::GetLastError();
    AppendLine(message, path);
    ::SetLastError(lastError);
}

std::wstring PreviousLogPath(const std::wstring& path) {
    const size_t name = path.find_last_of(L"\\/") + 1;  // 0 without a folder
    const size_t dot = path.rfind(L'.');
    return dot == std::wstring::npos || dot < name
               ? path + L".old"
               : path.substr(0, dot) + L".old" + path.substr(dot);
}

std::wstring StagingFolderIn(const std::wstring& systemDirectory) {
    return systemDirectory.empty() ? std::wstring() : systemDirectory + L"\\Firmware";
}

std::wstring ServiceLogPathIn(const std::wstring& systemDirectory) {
    const std::wstring folder = StagingFolderIn(systemDirectory);
    return folder.empty() ? folder : folder + L"\\NyxService.log";
}

std::wstring SystemDirectory() {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(directory, length);
}

const std::wstring& ServiceLogPath() {
    static const std::wstring path = ServiceLogPathIn(SystemDirectory());
    return path;
}

namespace {

// Whether the service log's folder may be written; see CheckLogPlace.
std::atomic<bool> g_logFolderUsable{false};

// Judges the log's folder (a link or a folder that an ordinary user owns is not written) and
// replaces a log file that is a link by a file of its own.
void CheckLogPlace() {
    const std::wstring& path = ServiceLogPath();
    const DWORD verdict = win::CheckFolder(path.substr(0, path.find_last_of(L'\\')));
    const bool usable = verdict == ERROR_SUCCESS || verdict == ERROR_FILE_NOT_FOUND ||
                        verdict == ERROR_PATH_NOT_FOUND;
    if (usable) {
        win::UnlinkFile(path);
        win::ProtectFile(path, win::FileReaders::kNobody);  // a log an earlier version created
    }
    g_logFolderUsable = usable;
}

}  // namespace

void Log(const std::wstring& message) {
    static std::once_flag firstLine;
    const DWORD lastError = ::GetLastError();
    std::call_once(firstLine, CheckLogPlace);
    ::SetLastError(lastError);
    if (g_logFolderUsable) {
        LogToFile(message, ServiceLogPath());
    }
}

void DeleteOldLogFile() {
    CheckLogPlace();  // the log of a new update is checked afresh
    const wchar_t* const path = ServiceLogPath().c_str();
    if (!g_logFolderUsable) {
        return;
    }
    // The previous log goes silently; one that cannot be deleted is replaced when the log is
    // next full. DeleteFileW deletes a link itself, never what it leads to.
    ::DeleteFileW(PreviousLogPath(path).c_str());
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (::DeleteFileW(path)) {
        ReportInfoEvent(MSG_TEXT, L"DeleteOldLogFile",
                        L"Successfully deleted old log file for new capsule update");
        return;
    }
    const DWORD error = ::GetLastError();
    const std::wstring detail = L"Error: " + std::to_wstring(static_cast<int>(error));
    ReportErrorEvent(MSG_TEXT, L"DeleteOldLogFile failed", detail.c_str());
}
