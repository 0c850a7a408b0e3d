// The wall clock on POSIX: the realtime clock.
#include "wall_clock.h"

#include <time.h>

uint64_t WallClockNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}
