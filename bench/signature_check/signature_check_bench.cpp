// The cost of the check the service makes before it starts the flashing tool: its own signer's
// thumbprint, then one file opened, verified and compared. Prints the median, the fastest and
// the slowest of the runs in milliseconds, and the check's result (0: passed).
//
// Usage: signature_check_bench <signed file, as a host or Windows path> [--runs K]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capsule/signature_check.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <signed file> [--runs K]\n", argv[0]);
        return 2;
    }
    std::string file = argv[1];
    if (!file.empty() && file[0] == '/') {  // a host path, as CMake passes it
        file = "Z:" + file;
    }
    std::replace(file.begin(), file.end(), '/', '\\');
    const std::wstring path(file.begin(), file.end());
    const int runs = argc > 3 && std::strcmp(argv[2], "--runs") == 0 ? std::atoi(argv[3]) : 51;
    wchar_t own[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, own, MAX_PATH);

    std::vector<double> milliseconds;
    LONG result = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        Thumbprint signer{};
        result = VerifySignature(own, nullptr, signer);
        win::UniqueFileHandle held;
        if (result == ERROR_SUCCESS) {
            result = OpenSignedBy(path, signer, held);
        }
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf(
        "signature check of one file (own signer included), %d runs: median %.2f ms, "
        "fastest %.2f ms, slowest %.2f ms, result 0x%08lX\n",
        runs, milliseconds[milliseconds.size() / 2], milliseconds.front(), milliseconds.back(),
        static_cast<unsigned long>(result));
    return 0;
}
