// What each of the link's receivers does with a frame or a datagram handed
// to it: the image, the activity count, the sender filter, the server chosen
// by its beacons and its host name, and the log lines for what it drops.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/net.h"
#include "link_fixture.h"

namespace {

TEST_F(LinkTest, TcpFrames) {
  const struct {
    const char* name;
    Bytes frame;
    uint32_t changedFrom, changedTo;  // image range that takes the fill byte 0xA5
    uint32_t activity;
    const char* line;                 // nullptr: nothing logged
  } cases[] = {
      {"block 6", BlockFrame(6, 0xA5), 0x0000, 0x4000, 16384, nullptr},
      {"block 7", BlockFrame(7, 0xA5, kTagBlock1A2B), 0x4000, 0x8000, 16384, nullptr},
      {"block 8", BlockFrame(8, 0xA5, kTagBlock1B2C), 0x8000, 0xC000, 16384, nullptr},
      {"block 9", BlockFrame(9, 0xA5), 0xC000, 0x10000, 16384, nullptr},
      {"block 10", BlockFrame(10, 0xA5), 0x10000, 0x14000, 16384, nullptr},
      {"block of 100 bytes", MakeFrame(7, kTagFADE, Bytes(100, 0xA5)), 0, 0, 0,
       "TCP data block 7 dropped: head->Size = 100 instead of = 16384"},
      {"block of 16385 bytes", MakeFrame(6, kTagFADE, Bytes(16385, 0xA5)), 0, 0, 0,
       "TCP data block 6 dropped: head->Size = 16385 instead of = 16384"},
      {"write batch on TCP", MakeFrame(kTypeWriteBatch, kTagFADE, Bytes(16384, 0xA5)), 0, 0, 0,
       "TCP data wrong header = 18"},
      {"beacon on TCP", MakeFrame(kTypeBeacon, kTagFADE, {}), 0, 0, 0, "TCP data wrong header = 20"},
      {"update on TCP", MakeFrame(kTypeUpdate, kTagFADE, Bytes(6)), 0, 0, 0, "TCP data wrong header = 103"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    ASSERT_EQ(1, log_.Restart());
    Frame frame{};
    BadFrame bad{};
    ASSERT_EQ(Outcome::kDone, ValidateFrame(c.frame.data(), int(c.frame.size()), kTcpFrames, &frame, &bad));
    link_->Tcp().TakeFrame(frame);
    EXPECT_EQ(c.activity, Activity());
    uint32_t wrong = 0;
    for (uint32_t o = 0; o < kImageSize; ++o)
      wrong += ImageByte(o) != (o >= c.changedFrom && o < c.changedTo ? 0xA5 : 0);
    EXPECT_EQ(0u, wrong);
    const auto lines = Lines();
    EXPECT_EQ(c.line == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.line}, lines);
  }
}

TEST_F(LinkTest, UpdateDatagrams) {
  const struct {
    const char* name;
    Bytes datagram;
    uint32_t from;
    const char* server;  // "IP Address of server"
    uint32_t receiving;  // updates accepted (the unicast receiver runs)
    std::vector<std::pair<uint32_t, uint8_t>> bytes;  // image bytes afterwards
    uint32_t activity;
    const char* line;
  } cases[] = {
      {"taken while the receiver stops: counted only", UpdateFrame({{0, 0x0274, 0x11}}), kLoopback, "127.0.0.1",
       0, {{0x0274, 0}}, 1, nullptr},
      {"N = 13: two records, one byte left over", UpdateFrame({{0, 0x0274, 0x11}, {2, 0x0274, 0x22}}, 1), kLoopback,
       "127.0.0.1", 1, {{0x0274, 0x11}, {0x10274, 0x22}}, 1, nullptr},
      {"Region 0x01 and 0xFF: second half", UpdateFrame({{0x01, 0x0010, 0x33}, {0xFF, 0xFFFF, 0x44}}), kLoopback,
       "127.0.0.1", 1, {{0x10010, 0x33}, {0x1FFFF, 0x44}, {0x0010, 0}, {0xFFFF, 0}}, 1, nullptr},
      {"N = 0: counted, nothing changes", UpdateFrame({}), kLoopback, "127.0.0.1", 1, {{0x0274, 0}}, 1, nullptr},
      {"N = 5: no whole record", UpdateFrame({}, 5), kLoopback, "127.0.0.1", 1, {{0x0000, 0}}, 1, nullptr},
      {"another host", UpdateFrame({{0, 0x0274, 0x11}}), kOtherHost, "127.0.0.1", 1, {{0x0274, 0}}, 0, nullptr},
      {"leading zero in the server address", UpdateFrame({{0, 0x0274, 0x11}}), kLoopback, "127.0.0.01", 1,
       {{0x0274, 0}}, 0, nullptr},
      {"beacon on the unicast port", MakeFrame(kTypeBeacon, kTagBeacon, {}), kLoopback, "127.0.0.1", 1, {}, 0,
       "UDP Bad footer batch head->Size=0 foot->Checksum=DEFA foot->Size=0"},
      {"type 20 tagged 0xFADE", MakeFrame(kTypeBeacon, kTagFADE, {}), kLoopback, "127.0.0.1", 1, {}, 0,
       "UDP bad messagetype 20"},
      {"9-byte datagram", Bytes{kTypeUpdate, 0, 6, 0, 0, 0, 0, 0, 0}, kLoopback, "127.0.0.1", 1, {}, 0,
       "UDP bad datagram length = 9 instead of = 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    ASSERT_EQ(1, log_.Restart());
    ChooseAddresses("127.0.0.1", c.server);
    link_->Udp().AcceptUpdates(c.receiving != 0);
    Bytes exact = c.datagram;  // no zero fill behind it: a read past it shows under ASan
    link_->Udp().TakeUpdateDatagram(exact.data(), int(exact.size()), c.from);
    EXPECT_EQ(c.from, link_->Udp().LastSender());
    for (const auto& [offset, value] : c.bytes) EXPECT_EQ(value, ImageByte(offset)) << std::hex << offset;
    EXPECT_EQ(c.activity, Activity());
    const auto lines = Lines();
    EXPECT_EQ(c.line == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.line}, lines);
  }
}

TEST_F(LinkTest, BeaconDatagrams) {
  const Bytes beacon = MakeFrame(kTypeBeacon, kTagBeacon, Bytes(12, 1));
  const struct {
    const char* name;
    Bytes datagram;
    uint32_t from;
    uint32_t activity;
    const char* line;
  } cases[] = {
      {"beacon from the server", beacon, kLoopback, 1, nullptr},
      {"beacon from another host", beacon, kOtherHost, 0, nullptr},
      {"update frame on the multicast port", UpdateFrame({{0, 1, 1}}), kLoopback, 0,
       "UDP Bad footer batch head->Size=6 foot->Checksum=FADE foot->Size=6"},
      {"data block type tagged 0xDEFA", MakeFrame(6, kTagBeacon, {}), kLoopback, 0, "UDP bad messagetype 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    ASSERT_EQ(1, log_.Restart());
    Bytes exact = c.datagram;
    link_->Udp().TakeBeaconDatagram(exact.data(), int(exact.size()), c.from);
    EXPECT_EQ(c.from, link_->Udp().LastSender());
    EXPECT_EQ(kLoopback, link_->Choice().Server());
    EXPECT_EQ(c.activity, Activity());
    const auto lines = Lines();
    EXPECT_EQ(c.line == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.line}, lines);
  }
}

// With the server set to auto the first host whose valid beacon arrives is
// the server for the rest of the opening; the others are named once each.
TEST_F(LinkTest, AutoServerIsTheFirstPossibleServerHeard) {
  const Bytes beacon = MakeFrame(kTypeBeacon, kTagBeacon, Bytes(12, 1));
  const Bytes update = UpdateFrame({{0, 0x0274, 0x11}});
  const uint32_t a = NetParseAddress("10.0.0.2"), b = NetParseAddress("10.0.0.1"), c = NetParseAddress("10.0.0.3");
  ChooseAddresses("auto", "AUTO");
  struct Step {
    const Bytes* datagram;
    uint32_t from;
  };
  // No server has any of the first five sources; an update frame chooses nothing.
  const Step steps[] = {{&beacon, NetParseAddress("0.0.0.0")},   {&beacon, NetParseAddress("255.255.255.255")},
                        {&beacon, NetParseAddress("239.192.0.10")}, {&beacon, kLoopback},
                        {&beacon, NetParseAddress("0.1.2.3")},    {&update, a},
                        {&beacon, a}, {&beacon, b}, {&beacon, a}, {&beacon, b}, {&beacon, c}, {&beacon, b}};
  for (const Step& step : steps) link_->Udp().TakeBeaconDatagram(step.datagram->data(), int(step.datagram->size()), step.from);
  EXPECT_EQ(a, link_->Choice().Server());
  EXPECT_EQ(2u, Activity());  // the two beacons of the chosen host
  const std::vector<std::string> expected = {
      "Server 10.0.0.2 found by its beacons",
      "Beacons also heard from 10.0.0.1; staying with 10.0.0.2 (set \"IP Address of server\" to choose)",
      "Beacons also heard from 10.0.0.3; staying with 10.0.0.2 (set \"IP Address of server\" to choose)"};
  EXPECT_EQ(expected, Lines());
  // Update frames count from the chosen server only.
  link_->Udp().AcceptUpdates(1 != 0);
  link_->Udp().TakeUpdateDatagram(update.data(), int(update.size()), b);
  EXPECT_EQ(0, ImageByte(0x0274));
  link_->Udp().TakeUpdateDatagram(update.data(), int(update.size()), a);
  EXPECT_EQ(0x11, ImageByte(0x0274));
}

// The window's name of the server: its dotted address at once, the name the
// name service gives once it is in, never a wait for it.
TEST_F(LinkTest, ServerHostNameShowsTheAddressUntilTheNameIsIn) {
  char expected[kNetHostNameSize], got[kNetHostNameSize];
  NetLookupHostName(kLoopback, expected, sizeof expected);
  ASSERT_TRUE(WaitUntil([&] {
    link_->CopyServerHostName(got, sizeof got);
    return std::strcmp(got, expected) == 0;
  })) << got;
  // A server the name service knows nothing of (or no name service at all)
  // still leaves a name to show: its dotted address.
  ChooseAddresses("127.0.0.1", "127.0.0.2");
  link_->CopyServerHostName(got, sizeof got);
  EXPECT_STRNE("", got);
}

}  // namespace
