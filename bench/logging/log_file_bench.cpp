// Measures how many log lines per second the file listener writes, in direct and in queued
// mode, against a reference that writes the same formatted lines through one stream opened
// once with the listener's mode ("a+,ccs=UTF-8"), without mutex and without reopening.
//
//   nyx_log_file_bench [repeats] [nodirect]
//
// Every line is about 120 characters. Each variant runs |repeats| times (default 5) for
// 10 000 and 100 000 lines; the median rate is printed with its ratio to the reference
// (time of the variant / time of the reference). The queued time includes the wait until
// the writer has drained the queue. The listener runs with the machine's policy, so its
// rotation checks (2 MiB by default) are part of the measurement. "nodirect" skips the slow
// direct variant.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logging/log_listener_file.h"

namespace {

using QV::Shared::CqvLogListener;
using QV::Shared::CqvLogListenerFile;

const char kFunction[] = "QVBiosUpdate::SmbiosInfo::GetSmbiosInfo";

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Message(int i) {
    wchar_t text[64];
    std::swprintf(text, 64, L"SMBIOS structure %06d read, type 17", i);
    return text;
}

// Deletes |logPath| and its archives.
void RemoveLogFiles(const std::wstring& logPath) {
    ::DeleteFileW(logPath.c_str());
    const std::wstring base = logPath.substr(0, logPath.size() - 4);
    const std::wstring folder = logPath.substr(0, logPath.rfind(L'\\') + 1);
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((base + L"_*.log").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        ::DeleteFileW((folder + data.cFileName).c_str());
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

double RunReference(const std::wstring& path, int lines) {
    ::DeleteFileW(path.c_str());
    const double start = Seconds();
    FILE* file = nullptr;
    if (_wfopen_s(&file, path.c_str(), L"a+,ccs=UTF-8") != 0 || file == nullptr) {
        std::fwprintf(stderr, L"cannot open %ls\n", path.c_str());
        return 0;
    }
    for (int i = 0; i < lines; ++i) {
        const CqvLogListener::LogData record(5, kFunction, Message(i));
        std::fputws(record.Format().c_str(), file);
        std::fputws(L"\n", file);
    }
    std::fclose(file);
    return Seconds() - start;
}

double RunListener(bool queued, int lines, std::wstring* logPath) {
    std::unique_ptr<CqvLogListenerFile> listener;
    {
        // Construction (folder, policy, mutex) is not part of the rate; a first listener
        // finds the path so the files of the previous run can be removed.
        CqvLogListenerFile probe(false, 5);
        *logPath = probe.Path();
    }
    RemoveLogFiles(*logPath);
    listener = std::make_unique<CqvLogListenerFile>(queued, 5);
    const double start = Seconds();
    for (int i = 0; i < lines; ++i) {
        listener->Write(CqvLogListener::LogData(5, kFunction, Message(i)));
    }
    if (!listener->WaitUntilWritten(600000)) {
        std::fwprintf(stderr, L"the queue did not drain\n");
    }
    return Seconds() - start;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int repeats = argc > 1 ? std::max(1, _wtoi(argv[1])) : 5;
    const bool runDirect = !(argc > 2 && std::wcscmp(argv[2], L"nodirect") == 0);
    std::wstring logPath;
    {
        CqvLogListenerFile probe(false, 5);
        logPath = probe.Path();
        if (logPath.empty()) {
            std::fwprintf(stderr, L"no log folder\n");
            return 1;
        }
    }
    const std::wstring referencePath = logPath.substr(0, logPath.size() - 4) + L"-reference.txt";
    const CqvLogListener::LogData sample(5, kFunction, Message(0));
    std::wprintf(L"log file %ls\nline of %u characters: %ls\n%d runs each, medians\n\n",
                 logPath.c_str(), static_cast<unsigned int>(sample.Format().size()),
                 sample.Format().c_str(), repeats);
    std::wprintf(L"%8ls  %-10ls %14ls %12ls\n", L"lines", L"variant", L"lines/s", L"x reference");

    for (const int lines : {10000, 100000}) {
        std::vector<double> reference;
        std::vector<double> direct;
        std::vector<double> queued;
        for (int run = 0; run < repeats; ++run) {
            reference.push_back(RunReference(referencePath, lines));
            direct.push_back(runDirect ? RunListener(false, lines, &logPath) : 0.0);
            queued.push_back(RunListener(true, lines, &logPath));
        }
        const double referenceTime = Median(reference);
        const struct {
            const wchar_t* name;
            double time;
        } rows[] = {{L"reference", referenceTime},
                    {L"direct", Median(direct)},
                    {L"queued", Median(queued)}};
        for (const auto& row : rows) {
            if (row.time <= 0) {
                continue;
            }
            std::wprintf(L"%8d  %-10ls %14.0f %12.2f\n", lines, row.name, lines / row.time,
                         row.time / referenceTime);
        }
    }
    ::DeleteFileW(referencePath.c_str());
    RemoveLogFiles(logPath);
    return 0;
}
