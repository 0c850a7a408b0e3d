// What goes wrong across a real network, and how the link ends: broken
// frames on each transport logged and dropped, the server closing or
// resetting the connection, a server that does not listen, and the closing
// leaving no receiver behind.
#include <cstring>

#include "ipc/offset_image.h"
#include "link/net.h"
#include "link_netns_harness.h"

namespace {

// Broken frames on each transport are logged in the log's words and
// dropped; the receivers go on and the image takes none of their bytes.
TEST_F(LinkNetns, MalformedFramesAreLoggedAndDropped) {
  NetSetup& n = Net();
  LinkSession link("malformed");
  link.OpenUdpSide(true);
  ASSERT_TRUE(n.sim.Do("resume beacons"));

  // The multicast cases come first, before the TCP link is up. No marker
  // can follow a broken beacon frame (beacons queued before it may be what
  // the count shows), so each waits for its own line, then for a beacon
  // taken after it.
  const struct {
    const char* command;
    const char* line;
  } cases[] = {
      {"bad multicast short", " UDP bad datagram length = 9 instead of = 0"},
      {"bad multicast size", " UDP Bad footer batch head->Size=6 foot->Checksum=DEFA foot->Size=7"},
      {"bad multicast tag", " UDP Bad footer batch head->Size=6 foot->Checksum=FADE foot->Size=6"},
      {"bad multicast type", " UDP bad messagetype 103"},
      {"bad multicast truncated", " UDP Bad footer batch head->Size=100 foot->Checksum=0 foot->Size=0"},
      {"bad unicast short", " UDP bad datagram length = 9 instead of = 0"},
      {"bad unicast size", " UDP Bad footer batch head->Size=6 foot->Checksum=FADE foot->Size=7"},
      {"bad unicast tag", " UDP Bad footer batch head->Size=6 foot->Checksum=1A2B foot->Size=6"},
      {"bad unicast type", " UDP bad messagetype 20"},
      {"bad unicast truncated", " UDP Bad footer batch head->Size=100 foot->Checksum=0 foot->Size=0"},
      {"bad tcp size", " TCP Bad footer batch head->Size=16384 foot->Checksum=1A2B foot->Size=16385"},
      {"bad tcp tag", " TCP Bad footer batch head->Size=16384 foot->Checksum=AFFE foot->Size=16384"},
      {"bad tcp type", " TCP data wrong header = 18"},
      {"bad tcp blocksize", " TCP data block 6 dropped: head->Size = 100 instead of = 16384"},
      {"bad tcp short", " TCP Bad footer batch head->Size=0 "},
      {"bad tcp truncated", " TCP Bad footer batch head->Size=16384 "},
  };
  uint8_t marker = 0x40;
  std::map<std::string, int> logged;  // lines of the cases so far
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ++logged[c.line];
    if (std::strstr(c.command, "multicast") != nullptr) {
      ASSERT_TRUE(n.sim.Do(c.command));
      ASSERT_TRUE(WaitUntil([&] { return CountContaining(link.LinesSoFar(), c.line) >= logged[c.line]; }))
          << "the broken frame was not logged";
      const uint32_t counted = Activity();
      ASSERT_TRUE(WaitUntil([&] { return Activity() > counted; })) << "no beacon taken since";
      continue;
    }
    if (!link.Get().Up()) {
      link.Connect();
      ASSERT_TRUE(WaitUntil([] { return FirstPatternMismatch(0, 0x14000) == 0x14000; }));
    }
    // A later frame on the same path has been taken: the broken one was seen.
    // On TCP only a data block may bring the marker, so updates pause.
    const bool tcp = std::strstr(c.command, "tcp") != nullptr;
    const uint32_t at = tcp ? 0x3000 : 0x14020;
    if (tcp) {
      ASSERT_TRUE(n.sim.Do("pause updates"));
    }
    ASSERT_TRUE(n.sim.Do(c.command));
    ++marker;
    ASSERT_TRUE(n.sim.Do("set " + std::to_string(at) + "=" + std::to_string(marker)));
    ASSERT_TRUE(WaitUntil([&] { return ImageByte(at) == marker; })) << "the link did not recover";
    if (tcp) {
      ASSERT_TRUE(n.sim.Do("resume updates"));
    }
  }
  // The broken update records would have written 0xEE at 0x1EEEE.
  EXPECT_NE(0xEE, ImageByte(0x1EEEE));
  EXPECT_TRUE(n.sim.RestorePattern(0x3000, 1));

  const auto& lines = link.Close();
  std::map<std::string, int> wanted;
  for (const auto& c : cases) ++wanted[c.line];
  for (const auto& [line, count] : wanted) {
    if (line.find(" UDP ") == 0)
      EXPECT_EQ(count, CountContaining(lines, line)) << line;
    else
      EXPECT_LE(count, CountContaining(lines, line)) << line;
  }
  // The TCP stream resynchronises within a few frames after each break.
  EXPECT_LE(CountContaining(lines, " TCP "), 40);
}

// The server closing or resetting the connection ends the TCP receiver with
// one line and the link down, instead of a flood of log lines.
TEST_F(LinkNetns, ServerCloseEndsTheReceiverQuietly) {
  NetSetup& n = Net();
  for (const char* how : {"close", "reset"}) {
    SCOPED_TRACE(how);
    LinkSession link(how);
    link.OpenUdpSide(false);
    link.Connect();
    ASSERT_TRUE(WaitUntil([] { return Activity() > 0; }));
    ASSERT_TRUE(n.sim.Do(how));
    EXPECT_TRUE(WaitUntil([&] { return !link.Get().Up(); })) << "the link stays up";
    Bounded("joining the TCP receiver after the server closed", 3000, [&] { link.Get().Tcp().JoinReceiver(); });
    const auto& lines = link.Close();
    EXPECT_EQ(0, CountContaining(lines, "bad datagram length")) << "receive of 0 taken as a frame";
    EXPECT_LE(lines.size(), 4u) << "more lines than granting, the end of the connection and closing";
  }
}

// A server that stops listening refuses the connection at once; once it
// listens again the client connects.
TEST_F(LinkNetns, ConnectFailsWhileTheServerDoesNotListen) {
  NetSetup& n = Net();
  LinkSession link("listen");
  link.OpenUdpSide(false);
  ASSERT_TRUE(n.sim.Do("unlisten"));
  const auto start = Clock::now();
  EXPECT_FALSE(link.Get().ConnectTo(NetParseAddress(n.server.c_str())).ok());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  ASSERT_TRUE(n.sim.Do("listen"));
  EXPECT_TRUE(link.Get().ConnectTo(NetParseAddress(n.server.c_str())).ok());
  link.Close();
}

// Closing the link ends every receiver: no thread of the link outlives it.
TEST_F(LinkNetns, CloseLinkEndsEveryReceiver) {
  LinkSession link("threads");
  link.OpenUdpSide(true);
  link.Connect();
  ASSERT_TRUE(WaitUntil([] { return Activity() > kBlockActivity; }));
  // The host name lookup's thread is not the link's: it ends with the process.
  const size_t threadsLinked = ThreadCount();
  const auto start = Clock::now();
  link.Close();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsLinked - 3; })) << "multicast, TCP and unicast receivers";
  EXPECT_FALSE(UdpPortBound(kUpdatePort));
  EXPECT_FALSE(UdpPortBound(kBeaconPort));
}

}  // namespace
