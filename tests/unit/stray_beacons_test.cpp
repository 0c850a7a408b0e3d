// The watch over other hosts' beacons after the UDP sockets open: when its
// line is due, what it names, and that it speaks once per opening.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/net.h"
#include "link/stray_beacons.h"

namespace {

uint32_t A(const char* text) { return NetParseAddress(text); }

struct Heard {
  uint64_t atMs;  // after the opening
  const char* from;
  bool fromServer;
};

TEST(StrayBeacons, OneLinePerOpeningNamingEachHostOnce) {
  const struct {
    const char* name;
    std::vector<Heard> heard;
    const char* line;  // nullptr: no line
  } cases[] = {
      {"nothing heard", {}, nullptr},
      {"only the server", {{100, "10.0.0.2", true}}, nullptr},
      {"another host", {{100, "10.0.0.9", false}, {150, "10.0.0.9", false}}, "10.0.0.9"},
      {"two hosts, in the order first heard",
       {{100, "10.0.0.9", false}, {200, "192.168.1.5", false}, {300, "10.0.0.9", false}},
       "10.0.0.9, 192.168.1.5"},
      {"the server too, even late in the window", {{100, "10.0.0.9", false}, {4900, "10.0.0.2", true}}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StrayBeaconWatch watch;
    watch.Open(1000);
    char hosts[200] = "";
    bool due = false;
    for (const Heard& h : c.heard) {  // the receiver asks after every datagram
      if (h.atMs < kStrayBeaconWindowMs) due = due || watch.Due(1000 + h.atMs, hosts, sizeof hosts);
      watch.Beacon(A(h.from), h.fromServer);
    }
    EXPECT_FALSE(due);  // not before the window has passed
    due = watch.Due(1000 + kStrayBeaconWindowMs + 50, hosts, sizeof hosts);
    EXPECT_EQ(c.line != nullptr, due);
    if (c.line != nullptr) {
      EXPECT_STREQ(c.line, hosts);
    }
    EXPECT_FALSE(watch.Due(1000 + 2 * kStrayBeaconWindowMs, hosts, sizeof hosts));  // once per opening
  }
}

TEST(StrayBeacons, EachOpeningWatchesAfreshAndTheLineStaysBounded) {
  StrayBeaconWatch watch;
  char hosts[200];
  watch.Open(0);
  watch.Beacon(A("10.0.0.2"), true);
  EXPECT_FALSE(watch.Due(kStrayBeaconWindowMs, hosts, sizeof hosts));
  watch.Open(60000);  // the link went down and UDP opened again: the server is silent now
  for (int i = 1; i <= kStrayHostsNamed + 3; ++i) watch.Beacon(A(("10.1.0." + std::to_string(i)).c_str()), false);
  ASSERT_TRUE(watch.Due(60000 + kStrayBeaconWindowMs, hosts, sizeof hosts));
  EXPECT_EQ("10.1.0.1, 10.1.0.2, 10.1.0.3, 10.1.0.4, 10.1.0.5, 10.1.0.6, 10.1.0.7, 10.1.0.8", std::string(hosts));
  char small[12];
  watch.Open(0);
  watch.Beacon(A("10.1.0.1"), false);
  watch.Beacon(A("10.1.0.2"), false);
  ASSERT_TRUE(watch.Due(kStrayBeaconWindowMs, small, sizeof small));
  EXPECT_EQ("10.1.0.1, 1", std::string(small));  // cut, still terminated
}

}  // namespace
