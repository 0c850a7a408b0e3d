// Summary of a bench run: requests per second and latency percentiles.
#pragma once

#include <string>
#include <vector>

struct LatencySummary {
  double requestsPerSecond = 0;
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
};

// latenciesUs: one entry per request; totalSeconds: wall time of the run.
// Percentiles are nearest-rank (p99 of 100 samples is the 99th smallest).
LatencySummary Summarize(std::vector<double> latenciesUs, double totalSeconds);

// "rps=1234.5 p50_us=600.2 p99_us=950.0 max_us=1200.3"
std::string FormatSummary(const LatencySummary& s);
