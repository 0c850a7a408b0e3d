// Stamped request runs for the latency bench. Every request of a run is
// stamped with the wall clock in nanoseconds since the Unix epoch, the clock
// that the server side's kernel stamps its packets with on the same machine,
// so that what the window did with a request can be matched with what the
// server saw: a write's unique value against the server's journal, a
// counter's value against the server's send stamps. The stamps go to a log
// file after the run, so that nothing but the clock reads sits between two
// requests.
#pragma once

#include <string>
#include <vector>

#include "probe_session_win32.h"

struct TimingReply {
  enum Code { kOk, kFailed, kUsage } code;
  std::string text;
};

// timed N [reads=40] [sizes=1-8] [writes=1] [woffset=0x0100] [first=1] log=PATH
// N requests back to back; with writes=1 each also writes a 4-byte value,
// first + i for request i. Log lines "VALUE SENT_NS ROUNDTRIP_NS RESULT";
// the answer gives requests per second and round-trip percentiles. When a
// request fails the log still gets the requests answered before it.
TimingReply RunTimed(ProbeSession& s, const std::vector<std::string>& words);

// fresh OFFSET N log=PATH
// N reads of the 32-bit value at OFFSET back to back. Log lines
// "VALUE SEEN_NS", one for each value that differs from the one before,
// stamped when the read that found it returned.
TimingReply RunFresh(ProbeSession& s, const std::vector<std::string>& words);
