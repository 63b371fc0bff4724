#include "fake_tool_control.h"

#include <fstream>

#include "support/test_support.h"

namespace test {

void SetToolOrder(const std::string& order) {
    ::CreateDirectoryW(L"C:\\FakeFlashTool", nullptr);
    ::DeleteFileW(L"C:\\FakeFlashTool\\record.txt");
    std::ofstream("C:\\FakeFlashTool\\order.txt") << order;
}

std::map<std::string, std::string> ReadToolRecord() {
    std::map<std::string, std::string> record;
    std::ifstream file("C:\\FakeFlashTool\\record.txt");  // "name=value" lines
    for (std::string name, value; std::getline(file, name, '=') && std::getline(file, value);) {
        record[name] = value;
    }
    return record;
}

std::map<std::string, std::string> WaitForToolRecord(DWORD milliseconds) {
    WaitUntil([] { return !ReadToolRecord().empty(); }, milliseconds, 50);
    return ReadToolRecord();
}

}  // namespace test
