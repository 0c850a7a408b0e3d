// Request-log entries for the read and write records of local IPC requests.
// An entry is a head of 50 characters (request count, kind, offset, size),
// one "XX " group per data byte with a line feed and 50 blanks after every
// 16th byte, and a final line feed. Main thread only: the entry is formatted
// into one static buffer, so nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipc/offset_image.h"

inline constexpr size_t kEntryHeadMax = 96;   // the head with the widest count, offset and size
inline constexpr size_t kEntryGroupSize = 3;  // "XX "
inline constexpr size_t kEntryBreakSize = 51; // line feed and 50 blanks after every 16th byte
inline constexpr uint32_t kEntryBytesPerLine = 16;

// The bytes an entry for a record of n data bytes takes at most.
constexpr size_t RequestLogEntrySize(uint32_t n) {
  return kEntryHeadMax + kEntryGroupSize * n + kEntryBreakSize * (n / kEntryBytesPerLine) + 1;
}

// No record that the walker accepts reaches beyond the image, so no entry is
// larger than this.
inline constexpr size_t kLargestRequestLogEntry = RequestLogEntrySize(kImageSize);

// Formats the entry for one record into out (at least RequestLogEntrySize(n)
// bytes): isWrite picks the WRITE head, count is the request count before the
// request is counted, bytes are the n data bytes to show. Returns the number of
// characters written (no terminating NUL).
size_t FormatRequestLogEntry(char* out, bool isWrite, uint32_t count, uint32_t offset,
                             const uint8_t* bytes, uint32_t n);

// Reads the record's n image bytes at offset under the image lock and appends
// its entry to the request log with one write. The caller has checked that
// offset + n lies within the image.
void LogRequestRecord(bool isWrite, uint32_t count, uint32_t offset, uint32_t n);
