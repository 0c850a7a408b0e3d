// The wall clock of the tools' stamps: nanoseconds since the Unix epoch, the
// clock that the Linux kernel stamps packets with. On one machine every
// process reads the same clock (also from another network namespace, and
// under Wine, which takes it from the Linux realtime clock), so stamps taken
// by the probe and by server_sim can be subtracted.
#pragma once

#include <cstdint>

uint64_t WallClockNs();
