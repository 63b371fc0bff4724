// Helpers of the logging framework's Windows tests: the logging policy in the test prefix's
// registry and the files under the log folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// Owns the product's logging policy key for the lifetime of a test: deletes it on
// construction and destruction, so every test starts without any policy.
class ScopedLogPolicy {
public:
    ScopedLogPolicy();
    ~ScopedLogPolicy();
    ScopedLogPolicy(const ScopedLogPolicy&) = delete;
    ScopedLogPolicy& operator=(const ScopedLogPolicy&) = delete;

    // |module| false: the product key; true: its sub-key named after |moduleName| (the test
    // program's own base name when empty).
    void SetString(bool module, const wchar_t* name, const std::wstring& value,
                   const std::wstring& moduleName = std::wstring());
    void SetDword(bool module, const wchar_t* name, DWORD value,
                  const std::wstring& moduleName = std::wstring());
    // Creates the product key without any value.
    void CreateProductKey();

private:
    HKEY Key(bool module, const std::wstring& moduleName);
};

// The running program's base name ("shared_log_test").
std::wstring OwnBaseName();

// "%APPDATA%\qvzLog" and the log file of a module in it.
std::wstring LogFolder();
std::wstring LogPathOf(const std::wstring& baseName);

// Deletes a module's log file, its archives and leftover temporary names in the log folder.
void RemoveLogFiles(const std::wstring& baseName);

// The names of the files in |folder| whose name starts with |prefix| (case-insensitive),
// sorted.
std::vector<std::wstring> FilesStartingWith(const std::wstring& folder, const std::wstring& prefix);

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
void SetLastWriteTime(const std::wstring& path, std::uint64_t fileTime);

// The lines of a UTF-8 log file (byte-order mark skipped), each ended by CR LF. |bareLineFeeds|
// (when given) receives the number of line feeds without a carriage return before them.
std::vector<std::wstring> ReadUtf8Lines(const std::wstring& path, int* bareLineFeeds = nullptr);

}  // namespace test
