// The elevated tool's command line and environment.
#include "capsule/tool_command.h"

#include <gtest/gtest.h>

namespace {

std::wstring Block(std::initializer_list<const wchar_t*> entries) {
    std::wstring block;
    for (const wchar_t* entry : entries) {
        block.append(entry).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

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

TEST(ToolCommandTest, ToolGetsTheMachinesEnvironmentAndOnlyTheUsersName) {
    const std::wstring machine =
        Block({L"=C:=C:\\", L"ComSpec=C:\\Windows\\system32\\cmd.exe", L"Path=C:\\Windows",
               L"TEMP=C:\\Windows\\TEMP", L"tmp=C:\\Windows\\TEMP", L"USERNAME=SYSTEM",
               L"windir=C:\\Windows"});
    const std::wstring user =
        Block({L"COR_ENABLE_PROFILING=1", L"COR_PROFILER_PATH=C:\\Users\\u\\p.dll",
               L"DOTNET_STARTUP_HOOKS=C:\\Users\\u\\h.dll", L"ComSpec=C:\\Users\\u\\cmd.exe",
               L"PATHEXT=.EVIL", L"Path=C:\\Users\\u", L"TEMP=C:\\Users\\u\\Temp", L"USERDOMAIN=PC",
               L"username=u", L"windir=C:\\Users\\u", L"SystemRoot=C:\\Users\\u"});
    const std::wstring temp = L"C:\\Windows\\System32\\Firmware\\Temp";
    EXPECT_EQ(EnvironmentEntries(BuildToolEnvironment(machine.c_str(), user.c_str(), temp).c_str()),
              (std::vector<std::wstring>{L"=C:=C:\\", L"ComSpec=C:\\Windows\\system32\\cmd.exe",
                                         L"Path=C:\\Windows", L"TEMP=" + temp, L"TMP=" + temp,
                                         L"USERDOMAIN=PC", L"username=u", L"windir=C:\\Windows"}));
}

}  // namespace
