// How often one kind of log line may be written. A broken add-on or a host on
// the network can make the same line come thousands of times a second; each
// would be a write (and, for the request log, an open and a close) and the
// files would fill the disk. So per kind: the first kFirstLines lines are
// written as they come, then at most one line a minute saying how many like
// them were left out. A kind that stays quiet for a minute starts afresh. The
// lines of a normal run come far below these bounds and are unchanged.
//
// The state of a kind is plain data that the logs guard (event_log.cpp holds
// one lock for all kinds, never while writing); AdmitLine itself takes the
// time as an argument so that tests drive it.
#pragma once

#include <cstdint>

inline constexpr uint32_t kFirstLines = 20;         // lines of a kind written as they come
inline constexpr uint64_t kLeftOutPeriodMs = 60000;  // at most one summary a minute

struct LineLimit {
  const char* name;           // the kind in the summary line, e.g. "UDP bad messagetype"
  uint32_t written = 0;       // lines of this run of the kind written as they came
  uint32_t leftOut = 0;       // lines left out since the last summary
  uint64_t lastLineMs = 0;    // when the last line of the kind came
  uint64_t summaryMs = 0;     // when the last summary was written, or the first line was left out
  bool leavingOut = false;    // this run of the kind has passed its first lines
  uint32_t generation = 0;    // the logs' opening this state belongs to (event_log.cpp)
};

// What to do with one more line of a kind: first write a summary of
// `leftOut` lines (0: none), then the line itself when `write` is set.
struct LineVerdict {
  uint32_t leftOut;
  bool write;
};

// Counts one more line of the kind at nowMs (any monotonic milliseconds).
LineVerdict AdmitLine(LineLimit& kind, uint64_t nowMs);
