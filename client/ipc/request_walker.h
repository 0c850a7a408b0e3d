// The request walker: serves one local IPC request on a byte view of the
// caller's request area. It fills read records from the offset image, applies
// write records to it, collects the write records into one write batch and
// hands that to the sender while the link is up. Main thread only, one request
// at a time; the batch buffer is static and nothing on this path allocates
// (writing a request-log entry opens the log file, and the C library may
// allocate for that: logging is for diagnosis only).
//
// Request area: records back to back from the start, head fields unsigned
// 32-bit little-endian, a kind of 0 ends the list.
//   read  (kind 1): kind, offset, size n, client field, n data bytes (filled here)
//   write (kind 2): kind, offset, size n, n data bytes
//
// The caller's area is not trusted. Every record must keep its head and data
// inside the view, offset + size within the image (0x20000; the offset itself
// below it), and the request's write records must total at most 32508 bytes.
// A record that breaks one of these limits is handled like a record of unknown
// kind: it is not applied, its kind field is set to 0 when that field lies in
// the view, the request log gets a failure line ("default-> ..." for an
// unknown kind; "mapping-> ...", "image-> ..." or "batch-> ..." with the
// record's offset and size for a broken limit; "end-> ..." for a head cut off
// by the end of the view; each kind of line under its limit, base/line_limit.h),
// nothing is sent, requestCount stays, and the walk ends with result 0.
// Records before it stay handled. A list that reaches the end of the view
// without a 0 kind ends there the same way ("end-> ...").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/protocol.h"

// Changed only by the walker; the supervisor reads them for its status lines.
extern std::atomic<uint32_t> requestCount;    // requests that ended their list while the link was up
extern std::atomic<uint32_t> readByteCount;   // data bytes of read records handled
extern std::atomic<uint32_t> writeByteCount;  // data bytes of write records handled

// Sends a write batch (size bytes, end marker included) as one frame.
// Returns 1 sent whole, 2 sent short, 3 no link or send error. On 2 and 3 the
// sender also takes the link down (clears linkUp, logging the failure).
using WriteBatchSender = int (*)(const uint8_t* batch, uint32_t size);

// Walks the request area [area, area + size). Write records reach the image at
// once (ApplyLocalWrite); their shadow marks stay only when the request's batch
// went out whole (result 1). For any other result they are taken back
// (ReleaseLocalWrite), so the next data block or update record brings the
// server's value back. The area is read once per head field and once per data
// byte: the batch and the image get the same checked record even while the
// add-on changes its area. Returns the request result:
// 1 done, 2 the batch went out short, 3 no link or send error, 0 the walk
// stopped at a bad record (unknown kind, a broken limit, or no end of list).
// The atom's message answers 1 only for result 1 (RequestMessageResult).
int WalkRequest(uint8_t* area, size_t size, WriteBatchSender send);

// The message result for a request result: 1 (TRUE) for 1, otherwise 0.
inline int RequestMessageResult(int requestResult) { return requestResult == 1 ? 1 : 0; }
