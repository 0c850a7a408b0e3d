// The timestamp prefix of event-log lines: the UTC time of day as
// "HH:MM:SS:mmm" (a colon, not a dot, before the milliseconds). Any thread may
// call; each caller formats into its own buffer.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kTimestampSize = 13;  // twelve characters and the NUL

// Writes the current UTC time of day into buffer (at least kTimestampSize
// bytes) and returns buffer.
char* FormatTimestamp(char* buffer);

// The same for a moment given in milliseconds since 1970-01-01 00:00 UTC.
char* FormatTimestampAt(char* buffer, int64_t msSinceEpoch);

// Milliseconds of the monotonic clock, for measuring how long something took.
uint64_t MonotonicMs();
