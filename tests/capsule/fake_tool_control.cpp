#include "fake_tool_control.h"

#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace test {
namespace {

const std::wstring kOrderPath = std::wstring(kFakeToolFolder) + L"\\order.txt";
const std::wstring kRecordPath = std::wstring(kFakeToolFolder) + L"\\record.txt";

}  // namespace

void SetToolOrder(const std::string& order) {
    ::CreateDirectoryW(kFakeToolFolder, nullptr);
    ::DeleteFileW(kRecordPath.c_str());
    HANDLE file =
        ::CreateFileW(kOrderPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file, order.data(), static_cast<DWORD>(order.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::map<std::string, std::string> ReadToolRecord() {
    std::map<std::string, std::string> record;
    for (const std::string& line : SplitLines(ReadFileBytes(kRecordPath), std::string("\r\n"))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return record;
}

std::map<std::string, std::string> WaitForToolRecord(DWORD milliseconds) {
    for (DWORD waited = 0; waited <= milliseconds; waited += 50) {
        std::map<std::string, std::string> record = ReadToolRecord();
        if (!record.empty()) {
            return record;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

}  // namespace test
