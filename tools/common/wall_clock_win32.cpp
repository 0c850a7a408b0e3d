// The wall clock on Windows: the precise system time, in 100 ns ticks since
// 1601.
#include <windows.h>

#include "wall_clock.h"

uint64_t WallClockNs() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  const uint64_t ticks = uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
  constexpr uint64_t kUnixEpochTicks = 116444736000000000u;
  return (ticks - kUnixEpochTicks) * 100u;
}
