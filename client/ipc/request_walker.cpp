// The request walker. Each record's head and data are checked against the
// view, the image and the batch buffer before anything is read, copied or
// applied; positions are size_t and sizes are compared by subtraction, so no
// claimed size can wrap a sum.
//
// The request area is shared memory that the add-on (another of its threads,
// or any process that opens the same named mapping) can change while the walk
// runs. So each head field is read from it exactly once, the batch gets the
// values that were checked, and a write record's data is copied once, into
// the batch, which applies that copy to the image: the server and the image
// get the same bytes, and only records the walker accepted.
#include "ipc/request_walker.h"

#include <cstdio>
#include <cstring>

#include "base/event_log.h"
#include "ipc/request_log_entry.h"

namespace {

constexpr size_t kFailureLineSize = 96;

// The write batch of the request being walked.
WriteBatch batch;

// Reads a 32-bit head field of the caller's area once. The volatile access
// keeps the compiler from reading the shared bytes a second time in place of
// keeping the value.
inline uint32_t ReadFieldOnce(const uint8_t* p) {
  const volatile uint8_t* v = p;
  return v[0] | uint32_t(v[1]) << 8 | uint32_t(v[2]) << 16 | uint32_t(v[3]) << 24;
}

// Why a record stopped the walk; each has its own request-log line.
enum class BadRecord { kUnknownKind, kHeadCut, kNoEnd, kBeyondMapping, kBeyondImage, kBatchFull };

// A broken add-on can send bad requests back to back: each kind of failure
// line has its limit (base/line_limit.h), so the rest cost no open and close.
LineLimit unknownKindLines{"default-> FS6IPC_MESSAGE_FAILURE"};
LineLimit noEndLines{"end-> FS6IPC_MESSAGE_FAILURE"};
LineLimit mappingLines{"mapping-> FS6IPC_MESSAGE_FAILURE"};
LineLimit imageLines{"image-> FS6IPC_MESSAGE_FAILURE"};
LineLimit batchLines{"batch-> FS6IPC_MESSAGE_FAILURE"};

void AppendFailureLine(LineLimit& kind, const char* line) { AppendRequestLogLimited(kind, line, std::strlen(line)); }

// Writes the failure line of a bad record to the request log.
void LogBadRecord(BadRecord why, uint32_t offset, uint32_t size) {
  const char* word = nullptr;
  LineLimit* kind = nullptr;
  switch (why) {
    case BadRecord::kUnknownKind: AppendFailureLine(unknownKindLines, "default-> FS6IPC_MESSAGE_FAILURE\n"); return;
    case BadRecord::kHeadCut:
    case BadRecord::kNoEnd: AppendFailureLine(noEndLines, "end-> FS6IPC_MESSAGE_FAILURE\n"); return;
    case BadRecord::kBeyondMapping: word = "mapping", kind = &mappingLines; break;
    case BadRecord::kBeyondImage: word = "image", kind = &imageLines; break;
    case BadRecord::kBatchFull: word = "batch", kind = &batchLines; break;
  }
  char line[kFailureLineSize];
  const int n = std::snprintf(line, sizeof line, "%s-> FS6IPC_MESSAGE_FAILURE Offset: %04X Bytes: %u\n",
                              word, unsigned(offset), unsigned(size));
  if (n > 0) AppendRequestLogLimited(*kind, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

// Ends a walk at a bad record: logs it and clears its kind when the kind field
// lies in the view. Returns 0, the walk's result.
int StopAt(uint8_t* area, size_t size, size_t at, BadRecord why, uint32_t offset = 0, uint32_t n = 0) {
  LogBadRecord(why, offset, n);
  if (size - at >= 4) std::memset(area + at, 0, 4);
  return 0;
}

// The walk itself, up to the end of the list (1) or a bad record (0).
int WalkRecords(uint8_t* area, size_t size) {
  size_t at = 0;
  for (;;) {
    if (size - at < 4) return StopAt(area, size, at, BadRecord::kNoEnd);
    uint8_t* record = area + at;
    const uint32_t kind = ReadFieldOnce(record);
    if (kind == 0) break;
    if (kind != kReadKind && kind != kWriteKind) return StopAt(area, size, at, BadRecord::kUnknownKind);
    const uint32_t headSize = kind == kReadKind ? kReadHeadSize : kWriteHeadSize;
    if (size - at < headSize) return StopAt(area, size, at, BadRecord::kHeadCut);
    const uint32_t offset = ReadFieldOnce(record + 4), n = ReadFieldOnce(record + 8);
    if (n > size - at - headSize) return StopAt(area, size, at, BadRecord::kBeyondMapping, offset, n);
    if (!InImage(offset, n)) return StopAt(area, size, at, BadRecord::kBeyondImage, offset, n);
    if (kind == kReadKind) {
      ReadSpan(offset, n, record + headSize);
      if (readLogging.load() != 0) LogRequestRecord(false, ReadAccessCounts().requests, offset, n);
    } else {
      if (!batch.Fits(n)) return StopAt(area, size, at, BadRecord::kBatchFull, offset, n);
      batch.Add(offset, n, record + headSize);
      if (writeLogging.load() != 0) LogRequestRecord(true, ReadAccessCounts().requests, offset, n);
    }
    at += headSize + n;
  }
  return 1;
}

}  // namespace

Outcome WalkRequest(uint8_t* area, size_t size, WriteBatchSender& sender) {
  if (WalkRecords(area, size) == 0) {
    batch.Abandon();
    return Outcome::kBadInput;
  }
  return batch.Finish(sender);
}
