// The BIOS identity logs through the process-wide CqvLog, which reads its configuration
// from machine policy once, at its first use. Test programs of this folder therefore run
// with their own main (policy_main.cpp): it points the logger at a file of its own before
// any test runs, and the tests read the records back from that file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace platform_test {

struct LoggedRecord {
    std::wstring level;    // level name, as written ("Information", "Error")
    std::string function;  // the logging function's name
    std::wstring message;

    bool operator==(const LoggedRecord& other) const {
        return level == other.level && function == other.function && message == other.message;
    }
};

// For GoogleTest's failure messages (non-ASCII characters as \x{...}).
void PrintTo(const LoggedRecord& record, std::ostream* out);

// Every record of the logger's file so far, oldest first.
std::vector<LoggedRecord> ReadLoggedRecords();

// Deletes the logger's file (before the logger's first use).
void RemoveLogFile();

// Remembers how many records the logger's file holds now; NewRecords gives those added since.
class LogCursor {
public:
    LogCursor() : start_(ReadLoggedRecords().size()) {}
    std::vector<LoggedRecord> NewRecords() const;

private:
    size_t start_;
};

}  // namespace platform_test
