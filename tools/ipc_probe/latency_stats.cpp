// Bench summaries (see the header).
#include "latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

static double NearestRank(const std::vector<double>& sorted, double percent) {
  if (sorted.empty()) return 0;
  size_t rank = size_t(std::ceil(percent / 100.0 * double(sorted.size())));
  if (rank < 1) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

LatencySummary Summarize(std::vector<double> latenciesUs, double totalSeconds) {
  LatencySummary s;
  std::sort(latenciesUs.begin(), latenciesUs.end());
  if (totalSeconds > 0) s.requestsPerSecond = double(latenciesUs.size()) / totalSeconds;
  s.p50Us = NearestRank(latenciesUs, 50);
  s.p99Us = NearestRank(latenciesUs, 99);
  s.maxUs = latenciesUs.empty() ? 0 : latenciesUs.back();
  return s;
}

std::string FormatSummary(const LatencySummary& s) {
  char text[160];
  std::snprintf(text, sizeof text, "rps=%.1f p50_us=%.1f p99_us=%.1f max_us=%.1f", s.requestsPerSecond, s.p50Us,
                s.p99Us, s.maxUs);
  return text;
}
