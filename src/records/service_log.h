// The service's own log file: one time-stamped UTF-16 line per step, for support staff.
//
// Any thread may call these functions; each call opens, appends to and closes the file, so
// the log can be read, copied or deleted between calls. Failures are never reported to the
// caller: a line that cannot be written is lost (the debugger output says why).
#pragma once

#include <string>

// "<system directory>\Firmware": the folder of the service log, where the driver-store mode
// also stages; empty for an empty |systemDirectory|.
std::wstring StagingFolderIn(const std::wstring& systemDirectory);

// "<system directory>\Firmware\NyxService.log"; empty for an empty |systemDirectory|.
std::wstring ServiceLogPathIn(const std::wstring& systemDirectory);

// The system directory as GetSystemDirectoryW gives it (never a fixed drive letter: on a PC
// whose Windows is elsewhere any user could create "C:\Windows"); empty when it cannot be read.
std::wstring SystemDirectory();

// Where every caller in the service writes its log: ServiceLogPathIn(SystemDirectory()),
// read once per process.
const std::wstring& ServiceLogPath();

// "<path without its extension>.old<extension>" (NyxService.old.log beside NyxService.log): the
// previous log, where a full log goes.
std::wstring PreviousLogPath(const std::wstring& path);

// Appends "[yyyy-mm-dd hh:mm:ss] <message>" and a line end to the file at |path|, creating
// the file (with a byte-order mark) and the one folder level above it when they are missing.
// The file never grows past 4 MiB: before a line that would take it further, it becomes
// PreviousLogPath(path), readable by SYSTEM and Administrators only and replacing the previous
// log there (a link at that name is replaced, not written through), and the line starts a new
// file; when it cannot be moved, the line is lost. A line longer than 4 MiB alone (no message
// of the service comes near) still gets a file of its own. The thread's last error is the same
// afterwards as before.
void LogToFile(const std::wstring& message, const std::wstring& path);

// Appends |message| to the service log at ServiceLogPath() (LogToFile).
void Log(const std::wstring& message);

// Deletes the service log, if there is one, so that the log of a new capsule update starts
// empty, and reports the outcome to the event log; deletes the previous log too, without a
// report.
void DeleteOldLogFile();
