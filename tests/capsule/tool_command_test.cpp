// The elevated tool's command line and environment.
#include "capsule/tool_command.h"

#include <gtest/gtest.h>

namespace {

TEST(ToolCommandTest, PathWithABlankOrTabIsQuoted) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Windows\\System32\\Firmware\\QvKelFlash64.exe",
         L"C:\\Windows\\System32\\Firmware\\QvKelFlash64.exe -s -b"},
        {L"C:\\Windows\\Firmware\\new pkg\\QvKelFlash64.exe",
         L"\"C:\\Windows\\Firmware\\new pkg\\QvKelFlash64.exe\" -s -b"},
        {L"C:\\F\\a\tb\\QvKelFlash.exe", L"\"C:\\F\\a\tb\\QvKelFlash.exe\" -s -b"}};
    for (const auto& [path, commandLine] : cases) {
        EXPECT_EQ(ToolCommandLine(path), commandLine);
    }
}

TEST(ToolCommandTest, ToolGetsTheMachinesEnvironmentWithTheSystemPathAndTheTokensName) {
    // Each entry ends in a zero, the block in one more (the literal's own).
    const wchar_t machine[] =
        L"=C:=C:\\\0ComSpec=C:\\Windows\\system32\\cmd.exe\0PATH=C:\\Planted;C:\\Windows\0"
        L"TEMP=C:\\Windows\\TEMP\0tmp=C:\\Windows\\TEMP\0USERNAME=SYSTEM\0windir=C:\\Windows\0";
    const std::wstring temp = L"C:\\Windows\\System32\\Firmware\\Temp\\7";
    const std::wstring path = SystemToolPath(L"C:\\Windows\\system32", L"C:\\Windows");
    EXPECT_EQ(path,
              L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\system32\\Wbem;"
              L"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\");
    const struct {
        const char* row;
        ToolAccount account;
        std::vector<std::wstring> expected;
    } cases[] = {
        // clang-format off
        {"account known", {L"u", L"PC"},
         {L"=C:=C:\\", L"ComSpec=C:\\Windows\\system32\\cmd.exe", L"Path=" + path, L"TEMP=" + temp,
          L"TMP=" + temp, L"USERDOMAIN=PC", L"USERNAME=u", L"windir=C:\\Windows"}},
        {"lookup failed: neither name", {},
         {L"=C:=C:\\", L"ComSpec=C:\\Windows\\system32\\cmd.exe", L"Path=" + path, L"TEMP=" + temp,
          L"TMP=" + temp, L"windir=C:\\Windows"}},
    };  // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(EnvironmentEntries(BuildToolEnvironment(machine, c.account, path, temp).c_str()),
                  c.expected);
    }
}

}  // namespace
