// The probe's timed runs: bench (one request N times, requests per second
// and round-trip percentiles), latency (how late a moving counter's values
// become visible), and timed and fresh, whose stamps go to a log
// (probe_timing_win32). The clock reads sit right around the sends, so that
// nothing else is timed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "latency_stats.h"
#include "probe_command.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "probe_timing_win32.h"
#include "request_records.h"

namespace {

Reply FromTiming(const TimingReply& t) {
  switch (t.code) {
    case TimingReply::kOk: return Ok(t.text);
    case TimingReply::kFailed: return Failed(t.text);
    case TimingReply::kUsage: return Usage(t.text);
  }
  return Failed(t.text);
}

}  // namespace

Reply CmdBench(ProbeSession& s, const Args& a) {
  const char* usage = "bench N [reads=40] [sizes=1-8] [writes=0] [wsize=4] [woffset=0x0100]";
  uint64_t n = 0, reads = 40, minSize = 1, maxSize = 8, writes = 0, wsize = 4, woffset = 0x0100;
  if (a.words.empty() || !ParseUnsigned(a.words[0], 100000000, &n) || n == 0) return Usage(usage);
  for (size_t i = 1; i < a.words.size(); ++i) {
    const std::string& w = a.words[i];
    const size_t eq = w.find('=');
    const std::string key = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
    bool good = false;
    if (key == "reads") good = ParseUnsigned(value, 4000, &reads);
    if (key == "writes") good = ParseUnsigned(value, 2000, &writes);
    if (key == "wsize") good = ParseUnsigned(value, 16000, &wsize) && wsize > 0;
    if (key == "woffset") good = ParseUnsigned(value, kImageSize - 1, &woffset);
    if (key == "sizes") {
      const size_t dash = value.find('-');
      good = dash != std::string::npos && ParseUnsigned(value.substr(0, dash), 4096, &minSize) &&
             ParseUnsigned(value.substr(dash + 1), 4096, &maxSize) && minSize >= 1 && minSize <= maxSize;
    }
    if (!good) return Usage(usage);
  }
  ProbeRequest request = MakeBenchRequest(uint32_t(reads), uint32_t(minSize), uint32_t(maxSize), uint32_t(writes),
                                         uint32_t(wsize), uint32_t(woffset));
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error) || !EncodeRequest(&request, s.area, s.areaSize, &error) ||
      !EnsureWindow(s, &error))
    return Failed(error);
  LARGE_INTEGER frequency, start, before, after;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> latencies;
  latencies.reserve(n);
  uint64_t answeredOne = 0;
  QueryPerformanceCounter(&start);
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t result = 0;
    QueryPerformanceCounter(&before);
    if (!SendRequest(s, &result, &error)) return Failed("request " + std::to_string(i + 1) + ": " + error);
    QueryPerformanceCounter(&after);
    latencies.push_back(double(after.QuadPart - before.QuadPart) * 1e6 / double(frequency.QuadPart));
    answeredOne += result == 1;
  }
  const double seconds = double(after.QuadPart - start.QuadPart) / double(frequency.QuadPart);
  return Ok("requests=" + std::to_string(n) + " answered1=" + std::to_string(answeredOne) + " bytes=" +
            std::to_string(RequestBytes(request)) + " " + FormatSummary(Summarize(std::move(latencies), seconds)));
}

// Reads a 32-bit counter that moves by one every periodUs on the server and
// takes, for each new value, the time it became visible here minus the time
// the server set it (v x periodUs, up to a constant): a value counts as
// visible when the read that found it returned. The constant is taken from
// the quickest value of the run (p50/p99) and, in a second figure, from the
// quickest value within half a second (local_p99), which a stall of the
// sender (after which its schedule restarts later) does not shift for good.
Reply CmdLatency(ProbeSession& s, const Args& a) {
  const char* usage = "latency OFFSET PERIOD_US N";
  uint64_t offset = 0, n = 0;
  double periodUs = 0;
  if (a.words.size() != 3 || !ParseUnsigned(a.words[0], kImageSize - 4, &offset) ||
      !ParseReal(a.words[1], &periodUs) || periodUs <= 0 || !ParseUnsigned(a.words[2], 100000000, &n) || n < 2)
    return Usage(usage);
  ProbeRequest request;
  request.records.emplace_back();
  request.records[0].offset = uint32_t(offset);
  request.records[0].size = 4;
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error) || !EncodeRequest(&request, s.area, s.areaSize, &error) ||
      !EnsureWindow(s, &error))
    return Failed(error);
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> lateness, setAt;
  uint32_t last = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t result = 0;
    if (!SendRequest(s, &result, &error)) return Failed("read " + std::to_string(i + 1) + ": " + error);
    QueryPerformanceCounter(&now);
    const uint8_t* p = s.area + kReadHeadSize;
    const uint32_t value = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    if (i > 0 && value != last) {
      setAt.push_back(double(value) * periodUs);
      lateness.push_back(double(now.QuadPart) * 1e6 / double(frequency.QuadPart) - setAt.back());
    }
    last = value;
  }
  if (lateness.empty()) return Failed("the counter at " + Hex32(offset) + " never moved");
  const size_t changes = lateness.size();
  std::vector<double> global(changes), local(changes);
  const double quickest = *std::min_element(lateness.begin(), lateness.end());
  size_t from = 0, to = 0;  // the values set within half a second of value i
  for (size_t i = 0; i < changes; ++i) {
    while (setAt[from] < setAt[i] - 500000) ++from;
    while (to < changes && setAt[to] <= setAt[i] + 500000) ++to;
    global[i] = lateness[i] - quickest;
    local[i] = lateness[i] - *std::min_element(lateness.begin() + from, lateness.begin() + to);
  }
  const LatencySummary g = Summarize(std::move(global), 0), l = Summarize(std::move(local), 0);
  char text[200];
  std::snprintf(text, sizeof text, "reads=%llu changes=%llu p50_us=%.1f p99_us=%.1f max_us=%.1f local_p99_us=%.1f",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(changes), g.p50Us, g.p99Us,
                g.maxUs, l.p99Us);
  return Ok(text);
}

Reply CmdTimed(ProbeSession& s, const Args& a) { return FromTiming(RunTimed(s, a.words)); }
Reply CmdFresh(ProbeSession& s, const Args& a) { return FromTiming(RunFresh(s, a.words)); }
