// Event log and request log. Text goes through WriteCrLf, which turns each
// "\n" into CR LF, so the files are identical on every platform. Every byte
// written is counted against the cap; the line that would pass it gives way
// to the stop line.
#include "base/event_log.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/timestamp.h"
#include "base/version.h"

std::atomic<uint32_t> readLogging{0};
std::atomic<uint32_t> writeLogging{0};

namespace {

constexpr size_t kLineSize = 4096;

std::atomic<FILE*> eventLog{nullptr};
char requestLogPath[kLogPathSize];

// Set by OpenLogs before any other thread starts.
uint64_t capBytes = kLogCapBytes;
std::atomic<uint64_t> eventLogBytes{0};  // reserved by each line before it is written, by any thread
uint64_t requestLogBytes = 0;            // main thread only, as the request log
bool requestLogFull = false;

// Guards the state of every kind of limited line; held only to count a line,
// never while writing. generation tells a state left from an earlier opening
// of the logs (tests open them many times in one process).
std::mutex limitLock;
uint32_t generation = 0;

LineVerdict Admit(LineLimit& kind) {
  std::lock_guard<std::mutex> hold(limitLock);
  if (kind.generation != generation) kind = LineLimit{kind.name, 0, 0, 0, 0, false, generation};
  return AdmitLine(kind, MonotonicMs());
}

size_t ExpandedSize(const char* text, size_t size) {
  size_t n = size;
  for (size_t i = 0; i < size; ++i) n += text[i] == '\n';
  return n;
}

// Copies size bytes of text to out with every LF expanded to CR LF; out
// holds at least 2 * size bytes. Returns the bytes placed in out.
size_t ExpandLineEnds(const char* text, size_t size, char* out) {
  size_t used = 0;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == '\n') out[used++] = '\r';
    out[used++] = text[i];
  }
  return used;
}

// Writes text of any length with CR LF line ends, one buffer at a time.
// Returns 1 when everything was written.
int WriteCrLf(FILE* stream, const char* text, size_t size) {
  char out[2 * kLineSize];
  int ok = 1;
  for (size_t at = 0; at < size; at += kLineSize) {
    const size_t piece = size - at < kLineSize ? size - at : kLineSize;
    const size_t used = ExpandLineEnds(text + at, piece, out);
    ok &= std::fwrite(out, 1, used, stream) == used;
  }
  return ok;
}

}  // namespace

int OpenLogs(const char* eventLogPath, const char* requestLogPath_, uint64_t cap) {
  std::snprintf(requestLogPath, sizeof requestLogPath, "%s", requestLogPath_);
  capBytes = cap;
  eventLogBytes = 0;
  requestLogBytes = 0;
  requestLogFull = false;
  {
    std::lock_guard<std::mutex> hold(limitLock);
    ++generation;
  }
  FILE* events = std::fopen(eventLogPath, "wb");
  FILE* requests = std::fopen(requestLogPath, "wb");
  if (requests != nullptr) {
    char header[64];
    const int n = std::snprintf(header, sizeof header, "Kestrovaline Version %s log file\n\n", kVersionText);
    WriteCrLf(requests, header, size_t(n));
    requestLogBytes = ExpandedSize(header, size_t(n));
    std::fclose(requests);
  }
  if (events == nullptr || requests == nullptr) {
    if (events != nullptr) std::fclose(events);
    return 0;
  }
  eventLog.store(events);
  return 1;
}

namespace {

// Writes one formatted line to the event log, unless the log is closed or
// full; the line that would pass the cap gives way to the stop line.
void WriteEventLine(const char* format, va_list args) {
  FILE* stream = eventLog.load();
  if (stream == nullptr) return;
  char line[kLineSize];
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) return;
  if (size_t(n) >= sizeof line) {  // cut, but keep the line end so the next line starts on its own
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  char out[2 * kLineSize];
  size_t used = ExpandLineEnds(line, size_t(n), out);
  const uint64_t before = eventLogBytes.fetch_add(used);
  if (before + used > capBytes) {
    if (before > capBytes) return;  // another line already ended the log
    char now[kTimestampSize];
    n = std::snprintf(line, sizeof line, "%s Event log stops here: it reached its limit of %" PRIu64 " bytes\n",
                      FormatTimestamp(now), capBytes);
    used = ExpandLineEnds(line, size_t(n), out);
  }
  // One fwrite per line: the stream's own lock keeps each line whole. The
  // flush hands it to the system at once, so a client that is killed or
  // crashes leaves every line it wrote.
  std::fwrite(out, 1, used, stream);
  std::fflush(stream);
}

void WriteEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void WriteEvent(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteEventLine(format, args);
  va_end(args);
}

}  // namespace

void LogEvent(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteEventLine(format, args);
  va_end(args);
}

void LogEventLimited(LineLimit& kind, const char* format, ...) {
  if (eventLog.load() == nullptr) return;
  const LineVerdict verdict = Admit(kind);
  if (verdict.leftOut != 0) {
    char now[kTimestampSize];
    WriteEvent("%s Left out %u more lines like \"%s\"\n", FormatTimestamp(now), unsigned(verdict.leftOut),
               kind.name);
  }
  if (!verdict.write) return;
  va_list args;
  va_start(args, format);
  WriteEventLine(format, args);
  va_end(args);
}

void CloseEventLog() {
  FILE* stream = eventLog.exchange(nullptr);
  if (stream != nullptr) std::fclose(stream);
}

int AppendRequestLog(const char* text, size_t size) {
  if (requestLogPath[0] == '\0' || requestLogFull) return 0;
  const size_t expanded = ExpandedSize(text, size);
  char stop[96];
  if (requestLogBytes + expanded > capBytes) {  // this entry gives way to the stop line
    requestLogFull = true;
    const int n = std::snprintf(stop, sizeof stop, "Request log stops here: it reached its limit of %" PRIu64 " bytes\n",
                                capBytes);
    text = stop;
    size = size_t(n);
  }
  FILE* stream = std::fopen(requestLogPath, "ab");
  if (stream == nullptr) return 0;
  const int ok = WriteCrLf(stream, text, size);
  requestLogBytes += expanded;
  return (std::fclose(stream) == 0) & ok & !requestLogFull;
}

int AppendRequestLog(const char* text) { return AppendRequestLog(text, std::strlen(text)); }

int AppendRequestLogLimited(LineLimit& kind, const char* text, size_t size) {
  const LineVerdict verdict = Admit(kind);
  if (verdict.leftOut != 0) {
    char line[kLineSize];
    const int n = std::snprintf(line, sizeof line, "Left out %u more lines like \"%s\"\n", unsigned(verdict.leftOut),
                                kind.name);
    if (n > 0) AppendRequestLog(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
  }
  return verdict.write ? AppendRequestLog(text, size) : 0;
}

void ToggleReadLogging() {
  const bool on = readLogging.load() != 0;
  AppendRequestLog(on ? "Read logging OFF\n" : "Read logging ON\n");
  readLogging.store(on ? 0 : 1);
}

void ToggleWriteLogging() {
  const bool on = writeLogging.load() != 0;
  AppendRequestLog(on ? "Write logging OFF\n" : "Write logging ON\n");
  writeLogging.store(on ? 0 : 1);
}
