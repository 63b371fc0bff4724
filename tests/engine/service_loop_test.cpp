// The service loop's helpers with real folders, files, change notifications and processes of the
// test prefix: creating the firmware folders, the file name of the recorded last capsule, and
// the folder watch (whose failure ends the process, so that case runs in a child process,
// directory_watch_probe.exe beside this program).
#include "engine/service_loop.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "engine/nyx.h"
#include "records/service_log.h"
#include "support/test_support.h"
#include "win/unique_handle.h"

namespace {

const wchar_t kWatchEntered[] =
    L"HANDLE Nyx::StartDirectoryMonitoring : StartDirectoryMonitoring entered ";

// The temporary folders of the test prefix have ASCII paths.
std::string Narrow(const std::wstring& ascii) {
    return std::string(ascii.begin(), ascii.end());
}

// The narrow path's characters, each byte as the character of the same code (as the log
// lines of EnsureDirectory show them).
std::wstring Widen(const std::string& path) {
    std::wstring wide;
    for (const char c : path) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return wide;
}

void FreshLog() {
    ::DeleteFileW(ServiceLogPath);
}

std::vector<std::wstring> LogLines() {
    return test::ReadServiceLogMessages(ServiceLogPath);
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void WriteNewFile(const std::wstring& path, const std::string& bytes) {
    win::UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.IsValid()) << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

TEST(EnsureDirectoryTest, CreatesOnlyTheLastComponentAndLogsEachStep) {
    const test::TempFolder temp;
    const std::string root = Narrow(temp.Path());
    WriteNewFile(temp / L"plain.txt", "not a folder");

    // What EnsureDirectory finds and logs: the folder is there, or it creates it (a file of that
    // name fails with "already exists", which counts as success), or the creation fails.
    enum class Step { AlreadyExists, Created, CreationFailed };
    struct Case {
        const char* what;
        std::string path;
        std::wstring shown;  // the path as the log lines show it
        Step step;
        bool folderAfterwards;
    };
    const std::string created = root + "\\created";
    const std::string missingParent = root + "\\missing\\child";
    const std::string plainFile = root + "\\plain.txt";
    const std::string latin = root + "\\caf\xE9";
    const Case cases[] = {
        {"existing folder", root, Widen(root), Step::AlreadyExists, true},
        {"new folder", created, Widen(created), Step::Created, true},
        {"existing folder again", created, Widen(created), Step::AlreadyExists, true},
        {"missing parent", missingParent, Widen(missingParent), Step::CreationFailed, false},
        {"file of that name", plainFile, Widen(plainFile), Step::Created, false},
        {"byte above 127 in the name", latin, Widen(root) + L"\\caf\u00E9", Step::Created, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshLog();

        const int result = EnsureDirectory(c.path.c_str());
        const DWORD error = ::GetLastError();

        std::vector<std::wstring> lines;
        if (c.step == Step::AlreadyExists) {
            lines = {L"Directory already exists: " + c.shown};
        } else {
            lines = {L"Directory does not exist: " + c.shown + L". Creating..",
                     (c.step == Step::Created ? L"Directory created or already exists: "
                                              : L"Failed to create directory: ") +
                         c.shown};
        }
        EXPECT_EQ(result, c.step == Step::CreationFailed ? -1 : 0);
        if (c.step == Step::CreationFailed) {
            EXPECT_EQ(error, DWORD{ERROR_PATH_NOT_FOUND})
                << "the creation's error must survive the log line";
        }
        EXPECT_EQ(IsFolder(c.path), c.folderAfterwards);
        EXPECT_EQ(LogLines(), lines);
    }
    EXPECT_FALSE(IsFolder(root + "\\missing"));
    ::RemoveDirectoryA(latin.c_str());
}

TEST(CapsuleFileNameOfTest, NameAndExtensionAfterTheLastSeparator) {
    const std::wstring longName(300, L'n');
    const struct {
        const char* what;
        std::wstring recorded;
        std::wstring expected;
    } cases[] = {
        {"path with folders", L"C:\\Windows\\Firmware\\pkg\\ABC_01130000.bin", L"ABC_01130000.bin"},
        {"two backslashes before the name", L"C:\\Windows\\Firmware\\\\ABC_011300.bin",
         L"ABC_011300.bin"},
        {"forward slashes", L"C:/Windows/Firmware/ABC_01130000.bin", L"ABC_01130000.bin"},
        {"mixed separators, the last one counts", L"C:\\store/pkg\\sub/ABC_01130000.bin",
         L"ABC_01130000.bin"},
        {"full stop in a folder name", L"C:\\pkg.inf_amd64\\ABC_01130000.bin", L"ABC_01130000.bin"},
        {"drive without folder", L"C:ABC_01130000.bin", L"ABC_01130000.bin"},
        {"drive only", L"C:", L""},
        {"bare name", L"ABC_01130000.bin", L"ABC_01130000.bin"},
        {"bare name without extension", L"ABC_01130000", L"ABC_01130000"},
        {"trailing zeros of the registry text",
         std::wstring(L"C:\\pkg\\ABC_01130000.bin\0\0\0", 26), L"ABC_01130000.bin"},
        {"text after the first zero is ignored",
         std::wstring(L"C:\\pkg\\ABC_0113\0\\other\\XYZ_99.bin", 33), L"ABC_0113"},
        {"separator at the end", L"C:\\Windows\\Firmware\\", L""},
        {"empty", L"", L""},
        {"over-long bare name", longName, longName.substr(0, 259)},
        {"over-long name after folders", L"C:\\pkg\\" + longName, longName.substr(0, 259)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CapsuleFileNameOf(c.recorded), c.expected);
    }
}

std::wstring ProbePath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    folder = folder.substr(0, folder.rfind(L'\\'));
    return folder + L"\\directory_watch_probe.exe";
}

// Runs the probe on |folder|; its exit code, or STILL_ACTIVE when it did not end in time.
DWORD RunProbe(const std::wstring& folder) {
    std::wstring commandLine = L"\"" + ProbePath() + L"\" \"" + folder + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        ADD_FAILURE() << "cannot start the probe: " << ::GetLastError();
        return STILL_ACTIVE;
    }
    const win::UniqueHandle processHandle(process.hProcess);
    const win::UniqueHandle threadHandle(process.hThread);
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(processHandle.Get(), 60000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(processHandle.Get(), &code);
    }
    return code;
}

// The error FindFirstChangeNotificationW gives for |folder| in this process.
DWORD WatchError(const std::wstring& folder) {
    const win::UniqueChangeNotification watch(
        ::FindFirstChangeNotificationW(folder.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME));
    const DWORD error = ::GetLastError();
    return watch.IsValid() ? ERROR_SUCCESS : error;
}

TEST(StartDirectoryMonitoringTest, FolderThatCannotBeWatchedEndsTheProcessWithTheError) {
    const test::TempFolder temp;
    const struct {
        const char* what;
        std::wstring folder;
    } cases[] = {
        {"missing folder", temp / L"missing"},
        {"missing parent", temp / L"missing\\child"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DWORD expected = WatchError(c.folder);
        ASSERT_TRUE(expected == ERROR_FILE_NOT_FOUND || expected == ERROR_PATH_NOT_FOUND)
            << "error " << expected;
        FreshLog();

        EXPECT_EQ(RunProbe(c.folder), expected);
        EXPECT_EQ(LogLines(), (std::vector<std::wstring>{kWatchEntered,
                                                         L"FindFirstChangeNotification failed, "
                                                         L"GetLastError() = " +
                                                             std::to_wstring(expected)}));
    }
}

TEST(StartDirectoryMonitoringTest, ExistingFolderGivesAWatchWithoutEndingTheProcess) {
    const test::TempFolder temp;
    FreshLog();

    EXPECT_EQ(RunProbe(temp.Path()), 0u);
    EXPECT_EQ(LogLines(), std::vector<std::wstring>{kWatchEntered});
}

TEST(StartDirectoryMonitoringTest, FileCreatedBelowSignalsButContentChangeDoesNot) {
    const test::TempFolder temp;
    const std::wstring package = temp / L"package";
    ASSERT_TRUE(::CreateDirectoryW(package.c_str(), nullptr));
    const std::wstring existing = package + L"\\ABC_01120000.bin";
    WriteNewFile(existing, "capsule");
    FreshLog();

    const win::UniqueChangeNotification watch(Nyx::StartDirectoryMonitoring(temp.Path().c_str()));

    ASSERT_TRUE(watch.IsValid());
    EXPECT_EQ(LogLines(), std::vector<std::wstring>{kWatchEntered});
    EXPECT_EQ(::WaitForSingleObject(watch.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Wine adds a sub-folder of a watched tree to the watch only when it opens that folder
    // while the watch exists (as the service's enumeration of the store does): open it now.
    const win::UniqueFileHandle packageHandle(
        ::CreateFileW(package.c_str(), FILE_LIST_DIRECTORY,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(packageHandle.IsValid()) << ::GetLastError();

    {
        win::UniqueFileHandle file(::CreateFileW(existing.c_str(), FILE_APPEND_DATA, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        const char more[] = " and more";
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.Get(), more, sizeof(more) - 1, &written, nullptr));
    }
    EXPECT_EQ(::WaitForSingleObject(watch.Get(), 1000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a change of contents alone must not wake the loop";

    WriteNewFile(package + L"\\ABC_01130000.bin", "newer capsule");
    EXPECT_EQ(::WaitForSingleObject(watch.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "a file created in a sub-folder must wake the loop";
}

}  // namespace
