// Times, in the Wine prefix it runs in, two parts of the service's reaction to a new capsule:
//   search RUNS          FindNewestCapsule over the driver store (family ABC, bar 0.0.0.0),
//                        as the loop's check runs it in the driver-store mode
//   launch EXE RUNS      starting EXE with a console of its own until it has exited (the fake
//                        flashing tool writes its record and exits at once)
// Prints one line per part: the median, the smallest and the largest time in milliseconds.
// The search writes its "Starting Path: " line to the service log, as in the service.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capsule/capsule_search.h"
#include "win/unique_handle.h"

namespace {

double Now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void PrintFigures(const char* what, std::vector<double> milliseconds, const std::wstring& note) {
    std::sort(milliseconds.begin(), milliseconds.end());
    const size_t middle = milliseconds.size() / 2;
    const double median = milliseconds.size() % 2 != 0
                              ? milliseconds[middle]
                              : (milliseconds[middle - 1] + milliseconds[middle]) / 2;
    std::printf("%s: median %.1f ms, min %.1f ms, max %.1f ms over %zu runs; %ls\n", what, median,
                milliseconds.front(), milliseconds.back(), milliseconds.size(), note.c_str());
    std::fflush(stdout);
}

int TimeSearch(int runs) {
    BuildFwPathDIRID13();
    searchDriverStore = true;
    std::vector<double> times;
    wchar_t path[MAX_PATH] = L"";
    bool found = false;
    for (int run = 0; run < runs; ++run) {
        BYTE b1 = 0, b2 = 0, b3 = 0, b4 = 0;
        const double start = Now();
        found = FindNewestCapsule(b1, b2, b3, b4, path, L"ABC");
        times.push_back((Now() - start) * 1000);
    }
    PrintFigures("search", times, found ? std::wstring(L"found ") + path : L"found nothing");
    return 0;
}

int TimeLaunch(const std::wstring& executable, int runs) {
    std::vector<double> times;
    DWORD exitCode = 0;
    for (int run = 0; run < runs; ++run) {
        std::wstring commandLine = L"\"" + executable + L"\" -s -b";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const double start = Now();
        if (!::CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                              CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process)) {
            std::fprintf(stderr, "CreateProcessW failed: %lu\n", ::GetLastError());
            return 1;
        }
        const win::UniqueHandle processHandle(process.hProcess);
        const win::UniqueHandle threadHandle(process.hThread);
        ::WaitForSingleObject(processHandle.Get(), INFINITE);
        times.push_back((Now() - start) * 1000);
        ::GetExitCodeProcess(processHandle.Get(), &exitCode);
    }
    PrintFigures("tool start to exit", times, L"exit code " + std::to_wstring(exitCode));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "search") == 0) {
        return TimeSearch(std::max(1, std::atoi(argv[2])));
    }
    if (argc == 4 && std::strcmp(argv[1], "launch") == 0) {
        const std::string executable = argv[2];
        return TimeLaunch(std::wstring(executable.begin(), executable.end()),
                          std::max(1, std::atoi(argv[3])));
    }
    std::fprintf(stderr, "usage: %s search RUNS | launch EXE RUNS\n", argv[0]);
    return 2;
}
