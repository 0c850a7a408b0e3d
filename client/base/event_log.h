// The two diagnostic logs. The event log is one stream shared by every
// thread; each line is formatted whole and handed to the stream in a single
// write, so lines of different threads never mix, and flushed at once, so a
// killed client leaves every line it wrote. The request log is used on
// the main thread only and is opened, appended to and closed per entry. Both
// files get CR LF line ends on every platform: callers write "\n".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kLogPathSize = 260;

// Written by the settings reader at start-up, before the other threads
// start; read by the request walker.
extern std::atomic<uint32_t> readLogging;   // log every read record of IPC requests
extern std::atomic<uint32_t> writeLogging;  // log every write record of IPC requests

// Empties both logs of the run mode: the event log stays open, the request
// log receives its header and is closed. Returns 1 when both were created, 0
// otherwise (the event log is then left closed and nothing is written to it).
int OpenLogs(const char* eventLogPath, const char* requestLogPath);

// Writes one line to the event log (the format ends in "\n"). Does nothing
// while the log is not open, so a failed open or a closed log is never
// written to.
void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the event log; only the first call after OpenLogs does anything.
void CloseEventLog();

// Appends text to the request log (open, write, close). Returns 1 when the
// whole text was written, 0 when the log could not be opened or written.
int AppendRequestLog(const char* text, size_t size);
int AppendRequestLog(const char* text);

// Menu commands 111 and 112: flip the switch and append the line that names
// the state after the switch ("Read logging ON", "Write logging OFF", ...).
void ToggleReadLogging();
void ToggleWriteLogging();
