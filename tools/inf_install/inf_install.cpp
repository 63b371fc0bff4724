// inf_install: applies one section of a firmware package's INF, with a given folder as the
// package's driver-store folder (DIRID 13). Used by the demo under Wine to install and remove
// the service through the shipped INF's own sections:
//
//   inf_install.exe <INF> QvFirmware_Install.NT <package folder>   (install)
//   inf_install.exe <INF> QvNyxService_Remove <package folder>     (remove)
//
// The section's registry directives and its ".Services" section are applied (see
// inf_setup.h); no file is copied and no device is installed. Exit code 0 on success,
// otherwise the Windows error; 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>

#include "inf_setup.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: inf_install <INF> <section> <package folder>\n");
        return 2;
    }
    std::wstring packageFolder = argv[3];
    while (!packageFolder.empty() &&
           (packageFolder.back() == L'\\' || packageFolder.back() == L'/')) {
        packageFolder.pop_back();
    }
    inf_install::PackageInf inf(argv[1], packageFolder);
    if (!inf.IsOpen()) {
        std::fwprintf(stderr, L"inf_install: cannot open %ls: error %lu (line %u)\n", argv[1],
                      inf.Error(), inf.ErrorLine());
        return static_cast<int>(inf.Error());
    }
    const DWORD error = inf_install::ApplySection(inf.Get(), argv[2]);
    if (error != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"inf_install: section %ls of %ls failed: error %lu\n", argv[2],
                      argv[1], error);
        return static_cast<int>(error);
    }
    std::fwprintf(stdout, L"inf_install: applied section %ls of %ls with DIRID 13 = %ls\n", argv[2],
                  argv[1], packageFolder.c_str());
    return 0;
}
