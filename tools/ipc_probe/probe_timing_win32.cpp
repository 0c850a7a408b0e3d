// The stamped runs of `ipc_probe timed` and `ipc_probe fresh` (see the header).
#include "probe_timing_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "base/byte_order.h"
#include "latency_stats.h"
#include "probe_text.h"
#include "request_records.h"
#include "wall_clock.h"

namespace {

TimingReply Usage(const char* text) { return {TimingReply::kUsage, std::string("usage: ") + text}; }
TimingReply Failed(std::string text) { return {TimingReply::kFailed, std::move(text)}; }

// "key=value" words after the leading positional ones; false on an unknown
// key or a bad number.
struct Keys {
  uint64_t reads = 40, minSize = 1, maxSize = 8, writes = 1, woffset = 0x0100, first = 1;
  std::string log;
};

bool ParseKeys(const std::vector<std::string>& words, size_t from, Keys* k) {
  for (size_t i = from; i < words.size(); ++i) {
    const std::string& w = words[i];
    const size_t eq = w.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = w.substr(0, eq), value = w.substr(eq + 1);
    bool good = false;
    if (key == "reads") good = ParseUnsigned(value, 4000, &k->reads);
    if (key == "writes") good = ParseUnsigned(value, 1, &k->writes);
    if (key == "woffset") good = ParseUnsigned(value, kImageSize - 4, &k->woffset);
    if (key == "first") good = ParseUnsigned(value, UINT32_MAX, &k->first);
    if (key == "log") good = !(k->log = value).empty();
    if (key == "sizes") {
      const size_t dash = value.find('-');
      good = dash != std::string::npos && ParseUnsigned(value.substr(0, dash), 4096, &k->minSize) &&
             ParseUnsigned(value.substr(dash + 1), 4096, &k->maxSize) && k->minSize >= 1 && k->minSize <= k->maxSize;
    }
    if (!good) return false;
  }
  return !k->log.empty();
}

bool Prepare(ProbeSession& s, ProbeRequest* request, std::string* error) {
  return PrepareArea(s, RequestBytes(*request), error) && EncodeRequest(request, s.area, s.areaSize, error) &&
         EnsureWindow(s, error);
}

}  // namespace

TimingReply RunTimed(ProbeSession& s, const std::vector<std::string>& words) {
  const char* usage = "timed N [reads=40] [sizes=1-8] [writes=1] [woffset=0x0100] [first=1] log=PATH";
  uint64_t n = 0;
  Keys k;
  if (words.empty() || !ParseUnsigned(words[0], 10000000, &n) || n == 0 || !ParseKeys(words, 1, &k))
    return Usage(usage);
  ProbeRequest request = MakeBenchRequest(uint32_t(k.reads), uint32_t(k.minSize), uint32_t(k.maxSize),
                                          uint32_t(k.writes), 4, uint32_t(k.woffset));
  std::string error;
  if (!Prepare(s, &request, &error)) return Failed(error);
  uint8_t* value = k.writes != 0 ? s.area + request.records.back().at + kWriteHeadSize : nullptr;
  struct Stamp {
    uint64_t sentNs, roundTripNs;
    uint32_t result;
  };
  std::vector<Stamp> stamps(n);
  std::vector<double> latencies(n);
  uint64_t answeredOne = 0, done = 0;
  std::string failure;
  const uint64_t start = WallClockNs();
  for (; done < n; ++done) {
    if (value != nullptr) WriteLe32(value, uint32_t(k.first + done));
    uint32_t result = 0;
    const uint64_t before = WallClockNs();
    if (!SendRequest(s, &result, &error)) {
      failure = "request " + std::to_string(done + 1) + ": " + error;
      break;
    }
    const uint64_t after = WallClockNs();
    stamps[done] = {before, after - before, result};
    latencies[done] = double(after - before) / 1000;
    answeredOne += result == 1;
  }
  const double seconds = double(WallClockNs() - start) / 1e9;
  // The requests done so far are logged also when one failed (the window
  // went away), so that a caller still knows every answer it got.
  FILE* log = std::fopen(k.log.c_str(), "wb");
  if (log == nullptr) return Failed("cannot write " + k.log);
  for (uint64_t i = 0; i < done; ++i)
    std::fprintf(log, "%llu %llu %llu %u\n", static_cast<unsigned long long>(value != nullptr ? k.first + i : 0),
                 static_cast<unsigned long long>(stamps[i].sentNs),
                 static_cast<unsigned long long>(stamps[i].roundTripNs), stamps[i].result);
  std::fclose(log);
  if (!failure.empty()) return Failed(failure);
  return {TimingReply::kOk, "requests=" + std::to_string(n) + " answered1=" + std::to_string(answeredOne) + " " +
                                FormatSummary(Summarize(std::move(latencies), seconds))};
}

TimingReply RunFresh(ProbeSession& s, const std::vector<std::string>& words) {
  const char* usage = "fresh OFFSET N log=PATH";
  uint64_t offset = 0, n = 0;
  Keys k;
  if (words.size() != 3 || !ParseUnsigned(words[0], kImageSize - 4, &offset) ||
      !ParseUnsigned(words[1], 10000000, &n) || n < 2 || !ParseKeys(words, 2, &k))
    return Usage(usage);
  ProbeRequest request;
  request.records.emplace_back();
  request.records[0].offset = uint32_t(offset);
  request.records[0].size = 4;
  std::string error;
  if (!Prepare(s, &request, &error)) return Failed(error);
  const uint8_t* data = s.area + kReadHeadSize;
  struct Seen {
    uint32_t value;
    uint64_t seenNs;
  };
  std::vector<Seen> seen;
  seen.reserve(n);
  uint32_t last = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t result = 0;
    if (!SendRequest(s, &result, &error)) return Failed("read " + std::to_string(i + 1) + ": " + error);
    const uint64_t now = WallClockNs();
    const uint32_t v = ReadLe32(data);
    if (i > 0 && v != last) seen.push_back({v, now});
    last = v;
  }
  FILE* log = std::fopen(k.log.c_str(), "wb");
  if (log == nullptr) return Failed("cannot write " + k.log);
  for (const Seen& e : seen) std::fprintf(log, "%u %llu\n", e.value, static_cast<unsigned long long>(e.seenNs));
  std::fclose(log);
  return {TimingReply::kOk, "reads=" + std::to_string(n) + " changes=" + std::to_string(seen.size())};
}
