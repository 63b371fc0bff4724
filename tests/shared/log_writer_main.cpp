// Writes numbered lines through a file listener, for the test of two processes sharing one
// log file.
//
//   shared_log_writer <tag> <count> <queued 0|1>
//
// Each line's message is "writer <tag> line <n>", n from 1 to count. The writes start when
// the named event "Global\NyxSharedLogWriterGo" is set (or after 10 s without it), so that
// two writers started one after the other really write at the same time. Exit code 0 when
// every line was handed over and, in queued mode, written; 1 otherwise.
#include <windows.h>

#include <cwchar>
#include <string>

#include "shared/logger.h"
#include "shared/log_listener_file.h"

int wmain(int argc, wchar_t** argv) {
    using namespace QV::Shared;
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: shared_log_writer <tag> <count> <queued 0|1>\n");
        return 2;
    }
    const std::wstring tag = argv[1];
    const int count = _wtoi(argv[2]);
    const bool queued = _wtoi(argv[3]) != 0;

    auto* file = new CqvLogListenerFile(queued, LogLevelError);
    CqvLogListener* listeners[1] = {file};
    CqvLog logger(listeners, 1, true, CqvLog::kDefaultBufferSize);

    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, L"Global\\NyxSharedLogWriterGo");
    ::WaitForSingleObject(go, 10000);
    ::CloseHandle(go);

    for (int i = 1; i <= count; ++i) {
        logger.Log(LogLevelError, "main", L"writer %ls line %d", tag.c_str(), i);
    }
    return file->WaitUntilWritten(60000) ? 0 : 1;
}
