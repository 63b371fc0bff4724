#include "fake_tool_control.h"

#include <fstream>

#include "support/test_support.h"

namespace test {

void SetToolOrder(const std::string& order) {
    ::CreateDirectoryW(kFakeToolFolder, nullptr);
    ::DeleteFileW((std::wstring(kFakeToolFolder) + L"\\record.txt").c_str());
    std::ofstream("C:\\FakeFlashTool\\order.txt", std::ios::binary) << order;
}

std::map<std::string, std::string> ReadToolRecord() {
    std::map<std::string, std::string> record;
    const std::string text = ReadFileBytes(std::wstring(kFakeToolFolder) + L"\\record.txt");
    for (const std::string& line : SplitLines(text, std::string("\r\n"))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return record;
}

std::map<std::string, std::string> WaitForToolRecord(DWORD milliseconds) {
    std::map<std::string, std::string> record;
    WaitUntil([&] { return !(record = ReadToolRecord()).empty(); }, milliseconds, 50);
    return record;
}

}  // namespace test
