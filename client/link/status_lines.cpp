// The status lines, written by the supervisor's thread and copied by the
// painter, each side holding the lines' own lock for one copy.
#include "link/status_lines.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Guards the lines' texts and counts; held only for a copy, never with
// another lock.
std::mutex linesLock;

struct StatusLine {
  char text[kUdpLineSize];
  uint32_t count;
  size_t capacity;
};

StatusLine lines[kStatusLineCount] = {
    {{}, 0, kStatusLineSize}, {{}, 0, kStatusLineSize}, {{}, 0, kStatusLineSize},
    {{}, 0, kStatusLineSize}, {{}, 0, kUdpLineSize},
};

}  // namespace

void SetStatusLine(StatusLineId id, const char* format, ...) {
  StatusLine& line = lines[id];
  char text[kUdpLineSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, line.capacity, format, args);
  va_end(args);
  if (n < 0) n = 0;
  if (size_t(n) >= line.capacity) n = int(line.capacity - 1);
  std::lock_guard<std::mutex> hold(linesLock);
  std::memcpy(line.text, text, size_t(n));
  line.text[n] = '\0';
  line.count = uint32_t(n);
}

uint32_t CopyStatusLine(StatusLineId id, char* out, size_t outSize) {
  if (outSize == 0) return 0;
  std::lock_guard<std::mutex> hold(linesLock);
  const StatusLine& line = lines[id];
  const uint32_t n = line.count < outSize - 1 ? line.count : uint32_t(outSize - 1);
  std::memcpy(out, line.text, n);
  out[n] = '\0';
  return n;
}

void ClearStatusLines() {
  std::lock_guard<std::mutex> hold(linesLock);
  for (StatusLine& line : lines) {
    line.text[0] = '\0';
    line.count = 0;
  }
}
