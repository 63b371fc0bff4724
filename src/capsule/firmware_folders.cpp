#include "capsule/firmware_folders.h"

#include <windows.h>

#include "records/event_log.h"
#include "records/messages.h"
#include "records/service_log.h"
#include "win/protected_files.h"

int EnsureDirectory(const std::wstring& path) {
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Log(L"Directory does not exist: " + path + L". Creating..");
        if (win::CreateProtectedFolder(path, win::FolderReaders::kUsers)) {
            Log(L"Directory created or already exists: " + path);
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            Log(L"Failed to create directory: " + path);
            ::SetLastError(error);  // the caller logs the cause
            return -1;
        }
        // Created meanwhile by someone else: judged as any folder that was there.
    }
    const DWORD verdict = win::CheckFolder(path);
    if (verdict != ERROR_SUCCESS) {
        const std::wstring error = std::to_wstring(verdict);
        Log(L"Directory may not be used: " + path + L", error=" + error);
        ReportErrorEvent(MSG_CALL_FAILED, L"EnsureDirectory", error.c_str());
        ::SetLastError(verdict);
        return -1;
    }
    Log(L"Directory already exists: " + path);
    return 0;
}
