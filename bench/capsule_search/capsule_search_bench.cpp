// FindNewestCapsule on synthetic driver stores of 500, 2000 and 8000 package folders, against
// a reference walk that lists every folder of the same tree once with "*" and does nothing
// else. Prints, for each size, the median time of each, their ratio and the time per package
// folder. The search lists every folder twice by design (sub-folders, then capsules), so the
// ratio should stay at or below 2.2, and both times should grow linearly with the size.
// Beside them, the time to judge every folder of the store that holds a capsule of the family
// (win::FolderJudge::JudgeOne): the most the search could spend judging folders, since it
// judges only those whose capsule would be the newest so far.
//
// Usage: capsule_search_bench [--root C:\folder] [--runs K] [--keep]
// The stores are built below the root (C:\nyx_capsule_bench by default) and removed at the
// end unless --keep is given; a store kept from an earlier run is reused.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "capsule/capsule_search.h"
#include "win/protected_files.h"
#include "win/unique_handle.h"

namespace {

constexpr wchar_t kFamily[] = L"ABC";

struct StoreShape {
    size_t folders = 0;
    size_t files = 0;
};

void CreateEmptyFile(const std::wstring& path, StoreShape& shape) {
    win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        ++shape.files;
    }
}

void CreateFolder(const std::wstring& path, StoreShape& shape) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) {
        ++shape.folders;
    }
}

// A store of |packages| folders named as the driver store names them. One package in ten
// belongs to the firmware family and carries a capsule (some of them a second one in a
// nested folder) at a version that depends on its index; the others are ordinary driver
// packages. Every package holds about 15 files; every fourth, and every other firmware
// package, has a nested folder.
StoreShape BuildStore(const std::wstring& store, size_t packages) {
    StoreShape shape;
    CreateFolder(store, shape);
    wchar_t name[128];
    for (size_t i = 0; i < packages; ++i) {
        const bool firmware = i % 10 == 3;
        const unsigned long long hash = 0x9E3779B97F4A7C15ull * (i + 1);
        const unsigned minor = static_cast<unsigned>(i * 7 % 90);
        if (firmware) {
            std::swprintf(name, 128, L"abc_01%02u0000.inf_amd64_%016llx", minor, hash);
        } else {
            std::swprintf(name, 128, L"oem%05zu.inf_amd64_%016llx", i, hash);
        }
        const std::wstring package = store + L"\\" + name;
        CreateFolder(package, shape);

        std::vector<std::wstring> files;
        if (firmware) {
            std::swprintf(name, 128, L"ABC_01%02u00", minor);
            files = {std::wstring(name) + L".bin",
                     std::wstring(name) + L".inf",
                     std::wstring(name) + L".cat",
                     L"QvKelFlash64.exe",
                     L"QVToastNotificationActivator64.exe",
                     L"QVFirmwareUpdate.jpg",
                     L"QvNyxService.exe",
                     L"XYZ_011300.bin"};
        } else {
            std::swprintf(name, 128, L"oem%05zu", i);
            files = {std::wstring(name) + L".inf",
                     std::wstring(name) + L".cat",
                     std::wstring(name) + L".sys",
                     std::wstring(name) + L".dll",
                     std::wstring(name) + L".PNF",
                     L"readme.txt",
                     L"license.rtf",
                     L"coinstaller.dll"};
        }
        for (int extra = 0; files.size() < 13; ++extra) {
            std::swprintf(name, 128, L"data%02d.bin", extra);
            files.push_back(name);
        }
        for (const std::wstring& file : files) {
            CreateEmptyFile(package + L"\\" + file, shape);
        }
        if (i % 4 == 0 || i % 20 == 3) {
            const std::wstring nested = package + L"\\amd64";
            CreateFolder(nested, shape);
            CreateEmptyFile(nested + L"\\payload.bin", shape);
            if (firmware) {
                std::swprintf(name, 128, L"\\ABC_01%02u01.bin", minor);
                CreateEmptyFile(nested + name, shape);
            } else {
                CreateEmptyFile(nested + L"\\payload.cat", shape);
            }
        }
    }
    return shape;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    win::UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) {
                continue;
            }
            const std::wstring child = path + L"\\" + data.cFileName;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    ::RemoveDirectoryW(path.c_str());
}

// The reference: every folder listed once with "*", sub-folders entered, nothing else.
size_t Walk(const std::wstring& folder) {
    size_t entries = 0;
    WIN32_FIND_DATAW data;
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return 0;
    }
    do {
        ++entries;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0) {
            entries += Walk(folder + L"\\" + data.cFileName);
        }
    } while (::FindNextFileW(find.Get(), &data));
    return entries;
}

// The folders of a tree that hold a capsule of the family.
void CapsuleFolders(const std::wstring& folder, std::vector<std::wstring>& found) {
    WIN32_FIND_DATAW data;
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return;
    }
    bool holds = false;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            holds = holds || std::wcsncmp(data.cFileName, L"ABC_", 4) == 0;
        } else if (std::wcscmp(data.cFileName, L".") != 0 &&
                   std::wcscmp(data.cFileName, L"..") != 0) {
            CapsuleFolders(folder + L"\\" + data.cFileName, found);
        }
    } while (::FindNextFileW(find.Get(), &data));
    if (holds) {
        found.push_back(folder);
    }
}

// Folders (the store itself included) and files of a tree.
StoreShape Count(const std::wstring& folder) {
    StoreShape shape;
    shape.folders = 1;
    WIN32_FIND_DATAW data;
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return shape;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ++shape.files;
        } else if (std::wcscmp(data.cFileName, L".") != 0 &&
                   std::wcscmp(data.cFileName, L"..") != 0) {
            const StoreShape below = Count(folder + L"\\" + data.cFileName);
            shape.folders += below.folders;
            shape.files += below.files;
        }
    } while (::FindNextFileW(find.Get(), &data));
    return shape;
}

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::wstring root = L"C:\\nyx_capsule_bench";
    int runs = 7;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            const char* text = argv[++i];
            root.assign(text, text + std::strlen(text));
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--root C:\\folder] [--runs K] [--keep]\n", argv[0]);
            return 2;
        }
    }
    ::CreateDirectoryW(root.c_str(), nullptr);

    std::printf("capsule search against a single-pass walk, median of %d runs each\n", runs);
    std::printf("%8s %8s %8s %12s %12s %7s %14s %14s %17s  %s\n", "packages", "folders", "files",
                "search (ms)", "walk (ms)", "ratio", "search/pkg(us)", "walk/pkg(us)",
                "judge all (ms, n)", "newest capsule");
    for (const size_t packages : {500u, 2000u, 8000u}) {
        const std::wstring store = root + L"\\store_" + std::to_wstring(packages);
        if (::GetFileAttributesW(store.c_str()) == INVALID_FILE_ATTRIBUTES) {
            BuildStore(store, packages);
        }
        const StoreShape shape = Count(store);

        // The search starts from the driver-store path, here pointed at the synthetic store.
        searchDriverStore = true;
        wcsncpy(driverStorePath, store.c_str(), kFolderPathBufferLength - 1);
        driverStorePath[kFolderPathBufferLength - 1] = L'\0';

        wchar_t path[MAX_PATH] = L"";
        BYTE b1 = 0, b2 = 0, b3 = 0, b4 = 0;
        size_t entries = Walk(store);  // warms the caches for both
        FindNewestCapsule(b1, b2, b3, b4, path, kFamily);

        std::vector<std::wstring> capsuleFolders;
        CapsuleFolders(store, capsuleFolders);
        const win::FolderJudge judge;
        std::vector<double> searchTimes, walkTimes, judgeTimes;
        bool found = false;
        for (int run = 0; run < runs; ++run) {
            b1 = b2 = b3 = b4 = 0;
            double start = Now();
            found = FindNewestCapsule(b1, b2, b3, b4, path, kFamily);
            searchTimes.push_back(Now() - start);

            start = Now();
            entries = Walk(store);
            walkTimes.push_back(Now() - start);

            start = Now();
            for (const std::wstring& folder : capsuleFolders) {
                judge.JudgeOne(folder);
            }
            judgeTimes.push_back(Now() - start);
        }
        const double search = Median(searchTimes) * 1000;
        const double walk = Median(walkTimes) * 1000;
        std::printf(
            "%8zu %8zu %8zu %12.1f %12.1f %7.2f %14.1f %14.1f %10.1f %6zu  %ls (%u.%u.%u.%u)\n",
            packages, shape.folders, shape.files, search, walk, search / walk,
            search * 1000 / static_cast<double>(packages),
            walk * 1000 / static_cast<double>(packages), Median(judgeTimes) * 1000,
            capsuleFolders.size(), found ? path + store.size() : L"(none)", b1, b2, b3, b4);
        std::fflush(stdout);
        (void)entries;
        if (!keep) {
            RemoveTree(store);
        }
    }
    if (!keep) {
        ::RemoveDirectoryW(root.c_str());
    }
    return 0;
}
