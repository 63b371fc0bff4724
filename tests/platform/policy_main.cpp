// main of the test programs that read what the BIOS identity logs: sets this program's
// logging policy in the test prefix's registry before anything can create the logger, runs
// the tests and removes the policy again.
//
// The policy lives in the program's own module key (below the product key named after the
// version resource's ProductName), which takes precedence over the product key, so
// settings other programs leave in the product key change nothing here.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "logged_records.h"
#include "service/version.h"
#include "win/unique_handle.h"

namespace {

const std::wstring kPolicyRoot =
    L"Software\\Policies\\QV\\"
    L"" NYX_PRODUCT_NAME;

std::wstring ModuleKeyPath() {
    wchar_t module[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring baseName = module;
    baseName = baseName.substr(baseName.rfind(L'\\') + 1);
    baseName = baseName.substr(0, baseName.rfind(L'.'));
    return kPolicyRoot + L"\\" + baseName;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

// Every record from Information to Error, written directly (not queued) to the file.
bool WriteLoggingPolicy() {
    win::UniqueRegKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ModuleKeyPath().c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD queued = 0;
    return SetString(key.Get(), L"LoggingType", L"File") &&
           SetString(key.Get(), L"MinLogLevel", L"Information") &&
           SetString(key.Get(), L"MaxLogLevel", L"Error") &&
           ::RegSetValueExW(key.Get(), L"QueuedWrites", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&queued),
                            sizeof(queued)) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!WriteLoggingPolicy()) {
        std::fprintf(stderr, "cannot write the logging policy\n");
        return 1;
    }
    platform_test::RemoveLogFile();
    const int result = RUN_ALL_TESTS();
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, ModuleKeyPath().c_str());
    return result;
}
