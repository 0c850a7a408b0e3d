// The timestamp prefix: UTC time of day with a colon before the milliseconds,
// whatever the local time zone.
#include "base/timestamp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int64_t kMsPerDay = 86400000;

TEST(Timestamp, FormatsTheTimeOfDay) {
  const struct {
    int64_t ms;
    const char* text;
  } cases[] = {
      {0, "00:00:00:000"},
      {kMsPerDay - 1, "23:59:59:999"},
      {((9 * 60 + 5) * 60 + 3) * 1000 + 42, "09:05:03:042"},
      {20000 * kMsPerDay + kMsPerDay - 1, "23:59:59:999"},
      {20000 * kMsPerDay, "00:00:00:000"},
      {-1, "23:59:59:999"},  // before 1970 still reads as a time of day
      {(12 * 3600 + 34 * 60 + 56) * int64_t(1000) + 7, "12:34:56:007"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    char buffer[kTimestampSize + 4];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(buffer, FormatTimestampAt(buffer, c.ms));
    EXPECT_STREQ(c.text, buffer);
    EXPECT_EQ('#', buffer[kTimestampSize]);  // nothing beyond the 13 bytes
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SetZone(const char* zone) {  // nullptr: back to the machine's zone
#ifdef _WIN32
  _putenv_s("TZ", zone ? zone : "");
  _tzset();
#else
  zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
  tzset();
#endif
}

// Reads the clock in UTC: with a local zone 5 h 30 min east of UTC the
// text still lies between two UTC readings taken around the call.
TEST(Timestamp, ReadsTheClockInUtc) {
  SetZone("KVT-5:30");
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int64_t before = NowMs() % kMsPerDay;
    char buffer[kTimestampSize];
    FormatTimestamp(buffer);
    const int64_t after = NowMs() % kMsPerDay;
    if (after < before) continue;  // midnight passed: take another reading
    int h = 0, m = 0, s = 0, ms = 0;
    ASSERT_EQ(4, std::sscanf(buffer, "%2d:%2d:%2d:%3d", &h, &m, &s, &ms));
    ASSERT_EQ(12u, std::strlen(buffer));
    const int64_t shown = ((h * 60 + m) * 60 + s) * int64_t(1000) + ms;
    EXPECT_LE(before, shown);
    EXPECT_GE(after, shown);
    break;
  }
  SetZone(nullptr);
}

}  // namespace
