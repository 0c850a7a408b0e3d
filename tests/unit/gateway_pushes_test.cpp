// A gateway session's subscriptions on a hand-driven clock: the first push
// holds every value and later ones only what changed, at most one per
// interval; interval 0 pushes each change at the next poll; the link flag;
// stop; declaring or subscribing again; and pushes that are the gateway
// watching, not a front end's reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway_fixture.h"

namespace {

TEST_F(Gateway, PushesTheChangesAtMostOncePerInterval) {
  Expect(kDeclareG);
  SetImage(0x0100, {0x34, 0x12});
  SetImage(0x0200, {'o', 'k', 0, 0});
  EXPECT_EQ(UINT64_MAX, session.NextDueMs());
  Expect(R"({"op":"subscribe","group":"g","interval":50})", 1000);
  EXPECT_EQ(1000u, session.NextDueMs());
  EXPECT_TRUE(Pushes(999).empty());

  std::vector<json> got = Pushes(1000);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(json::parse(R"({"op":"values","group":"g","link":true,"values":{"a":4660,"s":"ok","b":[0,0]}})"),
            got[0]);
  EXPECT_EQ(1050u, session.NextDueMs());

  const struct { const char* name; uint64_t at; std::vector<Bytes> writes; const char* values; uint64_t next; } steps[] = {
      {"not due yet", 1049, {{0x35, 0x12}}, nullptr, 1050},
      {"due: only the change", 1050, {}, R"({"a":4661})", 1100},
      {"nothing changed", 1100, {}, nullptr, 1150},
      {"changed and changed back", 1150, {{0x99, 0x99}, {0x35, 0x12}}, nullptr, 1200},
      {"two changes within one interval: the latest", 1200, {{0x01, 0x00}, {0x02, 0x00}}, R"({"a":2})", 1250},
      {"polled late: the cadence kept", 1263, {{0x03, 0x00}}, R"({"a":3})", 1300},
      {"a whole step late: the steps missed are skipped", 1362, {{0x04, 0x00}}, R"({"a":4})", 1400},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    for (const Bytes& a : step.writes) SetImage(0x0100, a);
    got = Pushes(step.at);
    if (step.values == nullptr) {
      EXPECT_TRUE(got.empty()) << (got.empty() ? "" : got[0].dump());
    } else {
      ASSERT_EQ(1u, got.size());
      EXPECT_EQ(json::parse(step.values), got[0]["values"]);
    }
    EXPECT_EQ(step.next, session.NextDueMs());
  }

  host.sender.up = false;  // the link going down is pushed even without a change
  got = Pushes(1412);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(false, got[0]["link"]);
  EXPECT_EQ(json::object(), got[0]["values"]);
  EXPECT_TRUE(Pushes(1462).empty());

  Expect(R"({"op":"stop","group":"g"})");
  EXPECT_EQ(UINT64_MAX, session.NextDueMs());
  SetImage(0x0100, {0x77, 0x77});
  EXPECT_TRUE(Pushes(5000).empty());
  Expect(R"({"op":"stop","group":"g"})");  // stopping again is done as well

  EXPECT_EQ(0u, ReadAccessCounts().readBytes) << "pushes are the gateway watching, not a front end's reads";
  EXPECT_EQ(0u, ReadAccessCounts().requests);
}

TEST_F(Gateway, IntervalZeroPushesEachChangeAtTheNextPoll) {
  Expect(kDeclareG);
  Expect(R"({"op":"subscribe","group":"g","interval":0})", 500);
  EXPECT_EQ(UINT64_MAX, session.NextDueMs()) << "polled at each change, never by time";
  ASSERT_EQ(1u, Pushes(500).size());
  EXPECT_TRUE(Pushes(500).empty());
  SetImage(0x0300, {9});
  std::vector<json> got = Pushes(501);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(json::parse(R"({"b":[9,0]})"), got[0]["values"]);
  EXPECT_TRUE(Pushes(501).empty());
  SetImage(0x0200, {'x'});
  SetImage(0x0101, {1});
  got = Pushes(502);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(json::parse(R"({"a":256,"s":"x"})"), got[0]["values"]);

  // Beside it, a subscription with an interval still has its time.
  Expect(R"({"op":"declare","group":"h","offsets":[{"name":"x","offset":0,"type":"u8"}]})");
  Expect(R"({"op":"subscribe","group":"h","interval":1000})", 600);
  EXPECT_EQ(600u, session.NextDueMs());
  Expect(R"({"op":"stop","group":"g"})");
  EXPECT_EQ(600u, session.NextDueMs());
}

TEST_F(Gateway, DeclaringOrSubscribingAgainStartsWithEveryValue) {
  Expect(kDeclareG);
  Expect(R"({"op":"subscribe","group":"g","interval":50})", 0);
  ASSERT_EQ(1u, Pushes(0).size());

  // A declare that fails leaves the group and its subscription as they were.
  EXPECT_EQ("bad_type", Ask(R"({"op":"declare","group":"g","offsets":[{"name":"x","offset":0,"type":"f16"}]})")["error"]);
  EXPECT_EQ(50u, session.NextDueMs());
  EXPECT_TRUE(Pushes(50).empty());

  Expect(R"({"op":"declare","group":"g","offsets":[{"name":"x","offset":"0x0100","type":"u8"}]})", 60);
  EXPECT_EQ(60u, session.NextDueMs());
  std::vector<json> got = Pushes(60);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(json::parse(R"({"x":0})"), got[0]["values"]) << "the new fields only, every one";
  EXPECT_EQ(json::parse(R"({"x":0})"), Expect(R"({"op":"read","group":"g"})")["values"]);

  Expect(R"({"op":"subscribe","group":"g","interval":200})", 70);
  got = Pushes(70);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(json::parse(R"({"x":0})"), got[0]["values"]);
  EXPECT_EQ(200u, session.NextDueMs()) << "the next step of the clock's 200 ms grid";

  EXPECT_EQ("limit", Ask(R"({"op":"subscribe","group":"g","interval":9})", 80)["error"]);
  EXPECT_EQ(200u, session.NextDueMs()) << "a refused subscribe changes nothing";
  Expect(R"({"op":"subscribe","group":"g","interval":10})", 80);
  EXPECT_EQ(80u, session.NextDueMs());
}

// Subscriptions of one interval, whenever they began, are due at the same
// moments (the steps of the interval on the monotonic clock): one wake-up of
// the serving side serves every client of a panel.
TEST_F(Gateway, SubscriptionsOfOneIntervalShareTheirMoments) {
  Expect(kDeclareG);
  Expect(R"({"op":"declare","group":"h","offsets":[{"name":"x","offset":"0x0100","type":"u16"}]})");
  Expect(R"({"op":"subscribe","group":"g","interval":50})", 1003);
  ASSERT_EQ(1u, Pushes(1003).size());
  EXPECT_EQ(1050u, session.NextDueMs());
  Expect(R"({"op":"subscribe","group":"h","interval":50})", 1021);
  ASSERT_EQ(1u, Pushes(1021).size()) << "the first push of h at once; g is not due";
  EXPECT_EQ(1050u, session.NextDueMs());
  SetImage(0x0100, {7});
  EXPECT_EQ(2u, Pushes(1050).size());
  EXPECT_EQ(1100u, session.NextDueMs());
}

TEST_F(Gateway, EachGroupPushesOnItsOwn) {
  Expect(kDeclareG);
  Expect(R"({"op":"declare","group":"h","offsets":[{"name":"x","offset":"0x0100","type":"u16"}]})");
  Expect(R"({"op":"subscribe","group":"g","interval":100})", 0);
  Expect(R"({"op":"subscribe","group":"h","interval":30})", 0);
  EXPECT_EQ(2u, Pushes(0).size());
  SetImage(0x0100, {5});
  std::vector<json> got = Pushes(30);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("h", got[0]["group"]);
  EXPECT_EQ(60u, session.NextDueMs());
  got = Pushes(100);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("g", got[0]["group"]);
  EXPECT_EQ(json::parse(R"({"a":5})"), got[0]["values"]);
}

}  // namespace
