// The limit of one kind of log line, on a clock the test drives: the first
// lines as they come, then one summary a minute of what was left out, and a
// fresh start after a quiet minute.
#include "base/line_limit.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Step {
  uint64_t atMs;
  uint32_t lines;       // lines of the kind that come at atMs
  uint32_t written;     // of them written as they came
  uint32_t summaries;   // summaries asked for
  uint32_t reported;    // lines the summaries report
};

TEST(LineLimit, Runs) {
  const uint64_t kMinute = kLeftOutPeriodMs;
  const struct { const char* name; std::vector<Step> steps; } cases[] = {
      {"a line now and then is always written",
       {{0, 1, 1, 0, 0}, {kMinute * 3, 1, 1, 0, 0}, {kMinute * 90, 1, 1, 0, 0}}},
      {"a burst: the first lines, then nothing until a minute has passed",
       {{1000, kFirstLines + 500, kFirstLines, 0, 0}, {1000 + kMinute - 1, 10, 0, 0, 0}}},
      {"a steady flood: one summary a minute counting every line left out",
       {{1000, kFirstLines + 1, kFirstLines, 0, 0},
        {1000 + kMinute / 2, 1, 0, 0, 0},
        {1000 + kMinute, 1, 0, 1, 3},
        {1000 + kMinute + 30000, 100, 0, 0, 0},
        {1000 + 2 * kMinute, 1, 0, 1, 101},
        {1000 + 2 * kMinute + 1, 1, 0, 0, 0}}},
      {"after a quiet minute the rest is reported and the kind starts afresh",
       {{5, kFirstLines + 7, kFirstLines, 0, 0}, {5 + kMinute, 3, 3, 1, 7}, {5 + kMinute + 1, kFirstLines, kFirstLines - 3, 0, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineLimit kind{"UDP bad messagetype"};
    for (const Step& s : c.steps) {
      SCOPED_TRACE(s.atMs);
      uint32_t written = 0, summaries = 0, reported = 0;
      for (uint32_t i = 0; i < s.lines; ++i) {
        const LineVerdict v = AdmitLine(kind, s.atMs);
        written += v.write;
        summaries += v.leftOut != 0;
        reported += v.leftOut;
      }
      EXPECT_EQ(s.written, written);
      EXPECT_EQ(s.summaries, summaries);
      EXPECT_EQ(s.reported, reported);
    }
  }
}

}  // namespace
