// Request-log entry formatting. The head goes through snprintf with the log's
// own formats; the byte groups are built from a digit table, which gives the
// same text as "%02X " at a fraction of the cost.
#include "ipc/request_log_entry.h"

#include <cstdio>
#include <cstring>

#include "base/event_log.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kHeadWidth = 50;  // the column under which the byte groups line up

// Main-thread scratch: the image bytes of the logged record and its entry.
uint8_t recordBytes[kImageSize];
char entry[kLargestRequestLogEntry];

}  // namespace

size_t FormatRequestLogEntry(char* out, bool isWrite, uint32_t count, uint32_t offset,
                             const uint8_t* bytes, uint32_t n) {
  const char* head = isWrite ? " Req: %06i WRITE Offset: %04X Bytes: %03i value: "
                             : " Req: %06i READ  Offset: %04X Bytes: %03i value: ";
  int headSize = std::snprintf(out, kEntryHeadMax, head, int(count), unsigned(offset), int(n));
  if (headSize < 0) headSize = 0;
  if (size_t(headSize) >= kEntryHeadMax) headSize = int(kEntryHeadMax) - 1;
  char* p = out + headSize;
  for (uint32_t i = 0; i < n; ++i) {
    *p++ = kHexDigits[bytes[i] >> 4];
    *p++ = kHexDigits[bytes[i] & 0xF];
    *p++ = ' ';
    if ((i + 1) % kEntryBytesPerLine == 0) {
      *p++ = '\n';
      std::memset(p, ' ', kHeadWidth);
      p += kHeadWidth;
    }
  }
  *p++ = '\n';
  return size_t(p - out);
}

void LogRequestRecord(bool isWrite, uint32_t count, uint32_t offset, uint32_t n) {
  ReadImageBytes(offset, n, recordBytes);
  AppendRequestLog(entry, FormatRequestLogEntry(entry, isWrite, count, offset, recordBytes, n));
}
