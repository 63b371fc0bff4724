// Orders for, and the record of, the fake flashing tool (tools/fake_flash_tool), kept in
// C:\FakeFlashTool: the service starts it with a fixed command line.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace test {

// The next run exits with |order| ("0", "3010", ...) or, for "sleep", waits to be terminated.
void SetToolOrder(const std::string& order);
// The record of the run since SetToolOrder ("pid", "command_line", ...); empty when none.
std::map<std::string, std::string> ReadToolRecord();
// Waits up to |milliseconds| for a record; empty when none appeared.
std::map<std::string, std::string> WaitForToolRecord(DWORD milliseconds);

}  // namespace test
