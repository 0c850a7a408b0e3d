// The rate of one kind of log line (see the header).
#include "base/line_limit.h"

LineVerdict AdmitLine(LineLimit& kind, uint64_t nowMs) {
  LineVerdict verdict{0, false};
  if (kind.written != 0 && nowMs - kind.lastLineMs >= kLeftOutPeriodMs) {
    verdict.leftOut = kind.leftOut;  // what the last run left out, then a new run
    kind.written = 0;
    kind.leftOut = 0;
    kind.leavingOut = false;
  }
  kind.lastLineMs = nowMs;
  if (kind.written < kFirstLines) {
    ++kind.written;
    verdict.write = true;
    return verdict;
  }
  if (!kind.leavingOut) {  // the first summary comes a minute after the first line left out
    kind.leavingOut = true;
    kind.summaryMs = nowMs;
  }
  ++kind.leftOut;
  if (nowMs - kind.summaryMs >= kLeftOutPeriodMs) {
    verdict.leftOut = kind.leftOut;
    kind.leftOut = 0;
    kind.summaryMs = nowMs;
  }
  return verdict;
}
