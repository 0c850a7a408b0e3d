// Event log and request log. Text goes through WriteCrLf, which turns each
// "\n" into CR LF, so the files are identical on every platform.
#include "base/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/version.h"

std::atomic<uint32_t> readLogging{0};
std::atomic<uint32_t> writeLogging{0};

namespace {

constexpr size_t kLineSize = 4096;

std::atomic<FILE*> eventLog{nullptr};
char requestLogPath[kLogPathSize];

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

int OpenLogs(const char* eventLogPath, const char* requestLogPath_) {
  std::snprintf(requestLogPath, sizeof requestLogPath, "%s", requestLogPath_);
  FILE* events = std::fopen(eventLogPath, "wb");
  FILE* requests = std::fopen(requestLogPath, "wb");
  if (requests != nullptr) {
    char header[64];
    const int n = std::snprintf(header, sizeof header, "Kestrovaline Version %s log file\n\n", kVersionText);
    WriteCrLf(requests, header, size_t(n));
    std::fclose(requests);
  }
  if (events == nullptr || requests == nullptr) {
    if (events != nullptr) std::fclose(events);
    return 0;
  }
  eventLog.store(events);
  return 1;
}

void LogEvent(const char* format, ...) {
  FILE* stream = eventLog.load();
  if (stream == nullptr) return;
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (size_t(n) >= sizeof line) {  // cut, but keep the line end so the next line starts on its own
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  // One fwrite per line: the stream's own lock keeps each line whole. The
  // flush hands it to the system at once, so a client that is killed or
  // crashes leaves every line it wrote.
  char out[2 * kLineSize];
  std::fwrite(out, 1, ExpandLineEnds(line, size_t(n), out), stream);
  std::fflush(stream);
}

void CloseEventLog() {
  FILE* stream = eventLog.exchange(nullptr);
  if (stream != nullptr) std::fclose(stream);
}

int AppendRequestLog(const char* text, size_t size) {
  if (requestLogPath[0] == '\0') return 0;
  FILE* stream = std::fopen(requestLogPath, "ab");
  if (stream == nullptr) return 0;
  const int ok = WriteCrLf(stream, text, size);
  return (std::fclose(stream) == 0) & ok;
}

int AppendRequestLog(const char* text) { return AppendRequestLog(text, std::strlen(text)); }

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
