// The parts of the logging framework that need no Windows header: log levels and listener
// type flags, the policy texts that select them, and the line every record is written as.
//
// Everything here is a pure function of its arguments: any thread may call it, nothing is
// cached and nothing is thrown except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace QV {
namespace Shared {

// Log levels. A listener admits every level from its minimum to its maximum, both inclusive.
// Every listener starts at "Error" to "Error"; "Diag" lies above it and reaches only a
// listener whose maximum policy raised. "Never" is also what an unknown level name parses to.
enum LogLevel : int {
    LogLevelTraceIn = 0,
    LogLevelTraceOut = 1,
    LogLevelVerbose = 2,
    LogLevelInformation = 3,
    LogLevelWarning = 4,
    LogLevelError = 5,
    LogLevelDiag = 6,
    LogLevelNever = 99,
};

// Listener kinds: bits of the "LoggingType" policy and results of CqvLogListener::GetType.
enum LogType : unsigned int {
    LogTypeEvent = 1,
    LogTypeDebug = 2,
    LogTypeFileQueued = 4,
    LogTypeFile = 8,
    LogTypeConsole = 16,
};

// Every flag a type set may hold.
inline constexpr unsigned int kAllLogTypes =
    LogTypeEvent | LogTypeDebug | LogTypeFileQueued | LogTypeFile | LogTypeConsole;

// "TraceIn" ... "Diag" for 0 to 6, "Undefined" for any other number (99 included). Never null.
const wchar_t* LogLevelName(int level);

// The level a policy text names, compared without regard to case; null, empty and unknown
// texts give LogLevelNever.
int ParseLogLevel(const wchar_t* text);

// The flags a "LoggingType" policy text selects: the text is upper-cased (its first 63
// characters) and searched for "EVENT", "FILE", "CONSOLE" and "DEBUG" as substrings, so
// "File, Debug" selects two listeners and so does "EVENTFILE". 0 when no keyword is found.
// "FILE" selects the direct file listener; queued writing is a separate policy value.
unsigned int ParseLoggingType(const wchar_t* text);

// The type set a logger is created with: the caller's defaults (with LogTypeFile dropped
// when LogTypeFileQueued is also set), replaced by the policy's flags when |loggingType| is
// not null and names at least one keyword. Bits outside kAllLogTypes are dropped.
unsigned int SelectLogTypes(unsigned int defaultTypes, const wchar_t* loggingType);

// Local time of a record, year to milliseconds.
struct LogTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

// One record as a line, without a line break:
//   "yyyy/mm/dd hh:mm:ss.mmm|TTTTTTTT|<level name padded to 11>|<function>|<message>"
// with the thread ID as eight upper-case hexadecimal digits. The function name is taken
// byte by byte (it is an identifier in the code); the message ends at its first null
// character.
std::wstring FormatLogLine(const LogTime& time, std::uint32_t threadId,
                           const std::wstring& levelName, const std::string& function,
                           const std::wstring& message);

// Number of characters of a line head that HasLogLineHead inspects.
inline constexpr std::size_t kLogLineHeadLength = 24;

// Whether the first |count| characters of |text| have the shape of a line head
// ("/" at 4 and 7, a blank at 10, ":" at 13 and 16, "." at 19 and "|" at 23). A text shorter
// than the head does not have it.
bool HasLogLineHead(const wchar_t* text, std::size_t count);

}  // namespace Shared
}  // namespace QV
