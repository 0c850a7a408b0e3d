// The two diagnostic logs. The event log is one stream shared by every
// thread; each line is formatted whole and handed to the stream in a single
// write, so lines of different threads never mix, and flushed at once, so a
// killed client leaves every line it wrote. The request log is used on
// the main thread only and is opened, appended to and closed per entry. Both
// files get CR LF line ends on every platform: callers write "\n". Neither
// grows without bound: lines a flood may repeat go through a limit per kind,
// and each file stops at kLogCapBytes with one line that says so.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/line_limit.h"

inline constexpr size_t kLogPathSize = 260;
// Neither log grows beyond this: the line that would pass it is replaced by
// one line saying the log stops there, and nothing more is written to it.
inline constexpr uint64_t kLogCapBytes = 10 * 1024 * 1024;

// 0 at start; switched by ToggleReadLogging / ToggleWriteLogging (commands
// of the status window, on the main thread); read by the request walker.
extern std::atomic<uint32_t> readLogging;   // log every read record of IPC requests
extern std::atomic<uint32_t> writeLogging;  // log every write record of IPC requests

// Empties both logs of the run mode: the event log stays open, the request
// log receives its header and is closed. Returns 1 when both were created, 0
// otherwise (the event log is then left closed and nothing is written to it).
// Each log holds at most capBytes bytes (tests choose a small cap); every
// kind of line starts with its first lines again.
int OpenLogs(const char* eventLogPath, const char* requestLogPath, uint64_t capBytes = kLogCapBytes);

// Writes one line to the event log (the format ends in "\n"). Does nothing
// while the log is not open, so a failed open or a closed log is never
// written to.
void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for a line that a flood may repeat (a bad frame from the network):
// written under the limit of its kind (line_limit.h), with
// "%s Left out N more lines like \"NAME\"\n" once a minute in place of the
// rest. The format starts with "%s " for the timestamp, as every such line.
void LogEventLimited(LineLimit& kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Closes the event log; only the first call after OpenLogs does anything.
void CloseEventLog();

// Appends text to the request log (open, write, close). Returns 1 when the
// whole text was written, 0 when the log could not be opened or written.
int AppendRequestLog(const char* text, size_t size);
int AppendRequestLog(const char* text);

// The same for an entry that a flood may repeat (the failure line of a bad
// request): appended under the limit of its kind, with
// "Left out N more lines like \"NAME\"\n" once a minute in place of the rest,
// so that the rest costs no open and no close. Returns 1 when the text was
// appended.
int AppendRequestLogLimited(LineLimit& kind, const char* text, size_t size);

// Menu commands 111 and 112: flip the switch and append the line that names
// the state after the switch ("Read logging ON", "Write logging OFF", ...).
void ToggleReadLogging();
void ToggleWriteLogging();
