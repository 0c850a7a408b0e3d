// The request walker: serves one local IPC request on a byte view of the
// caller's request area. It parses the records and hands them to the image
// access (ipc/image_access.h): read records are filled from the image, write
// records go into one write batch, which goes to the sender when the list
// ends. Main thread only, one request at a time; the walker's batch is
// static and nothing on this path allocates (writing a request-log entry
// opens the log file, and the C library may allocate for that: logging is for
// diagnosis only).
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
// nothing is sent, the request count stays, and the walk ends with result 0.
// Records before it stay handled. A list that reaches the end of the view
// without a 0 kind ends there the same way ("end-> ...").
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/protocol.h"
#include "ipc/image_access.h"

// Walks the request area [area, area + size). Write records reach the image at
// once; their shadow marks stay only when the request's batch went out whole
// (result 1), otherwise they are taken back (WriteBatch). The area is read once per head field and once per data
// byte: the batch and the image get the same checked record even while the
// add-on changes its area. Returns kDone, the batch's failure (kSentShort,
// kNoLink), or kBadInput when the walk stopped at a bad record (unknown kind,
// a broken limit, or no end of list). The atom's message answers 1 only for
// kDone (RequestMessageResult).
Outcome WalkRequest(uint8_t* area, size_t size, WriteBatchSender& sender);

// The message result for a request's outcome: 1 (TRUE) for kDone, else 0.
inline int RequestMessageResult(Outcome outcome) { return outcome == Outcome::kDone ? 1 : 0; }
