// UTC time of day for the log prefix. Computed from the epoch count directly,
// so no thread-unsafe gmtime and no local time zone is involved.
#include "base/timestamp.h"

#include <chrono>
#include <cstdio>

char* FormatTimestampAt(char* buffer, int64_t msSinceEpoch) {
  constexpr int64_t kMsPerDay = 86400000;
  int64_t ms = msSinceEpoch % kMsPerDay;
  if (ms < 0) ms += kMsPerDay;
  const int hour = int(ms / 3600000), minute = int(ms / 60000 % 60);
  const int second = int(ms / 1000 % 60), milli = int(ms % 1000);
  std::snprintf(buffer, kTimestampSize, "%02d:%02d:%02d:%03d", hour, minute, second, milli);
  return buffer;
}

char* FormatTimestamp(char* buffer) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return FormatTimestampAt(buffer, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint64_t MonotonicMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
