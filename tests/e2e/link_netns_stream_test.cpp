// The link's data path across a real network: beacons counted from the
// configured server only, data blocks and update frames landing where they
// belong and counted exactly, a local write reaching the server's journal
// and echoing back, and frames split over sends or coalesced into one.
#include <cstring>

#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/net.h"
#include "link_netns_harness.h"
#include "sim_journal.h"

namespace {

// Beacons from the configured server are counted, one per beacon; beacons
// from any other host are not, but that host becomes the last sender.
TEST_F(LinkNetns, BeaconsCountOnlyFromTheConfiguredServer) {
  NetSetup& n = Net();
  ASSERT_FALSE(n.third.empty());
  ASSERT_TRUE(n.thirdSim.Do("resume beacons"));
  LinkSession link("beacons");
  link.OpenUdpSide(true);
  const uint32_t third = NetParseAddress(n.third.c_str()), server = NetParseAddress(n.server.c_str());

  // Only the third host sends: it is seen, and nothing is counted.
  ASSERT_TRUE(WaitUntil([&] { return link.Get().Udp().LastSender() == third; })) << "no beacon from the third host";
  const uint64_t thirdSent = n.thirdSim.Count("beacons");
  ASSERT_TRUE(WaitUntil([&] { return n.thirdSim.Count("beacons") >= thirdSent + 5; }));
  EXPECT_EQ(0u, Activity());
  ASSERT_TRUE(n.thirdSim.Do("pause beacons"));

  // The server sends: every beacon it sent is counted once.
  const uint64_t before = n.sim.Count("beacons");
  ASSERT_TRUE(n.sim.Do("resume beacons"));
  ASSERT_TRUE(WaitUntil([&] { return Activity() >= 5; }));
  ASSERT_TRUE(n.sim.Do("pause beacons"));
  const uint64_t sent = n.sim.Count("beacons") - before;
  EXPECT_TRUE(WaitUntil([&] { return Activity() == sent; })) << Activity() << " counted, " << sent << " sent";
  EXPECT_EQ(server, link.Get().Udp().LastSender());
  ASSERT_TRUE(n.sim.Do("resume beacons"));

  const auto& lines = link.Close();
  EXPECT_EQ(1, CountContaining(lines, " granting multicast to " + n.local));
  EXPECT_EQ(1, CountContaining(lines, " Closing connection to server OK"));
  EXPECT_EQ(0, CountContaining(lines, "UDP "));
}

// Every data block type lands at its own offsets under all three tags, update
// frames land in both halves, and linkActivityCount grows by exactly 16384
// per block and 1 per update frame.
TEST_F(LinkNetns, BlocksAndUpdatesLandAndAreCountedExactly) {
  NetSetup& n = Net();
  // A beacon taken in the moment between the opening and the beacon
  // receiver's stop would count too: the server sends none meanwhile.
  ASSERT_TRUE(n.sim.Do("pause beacons"));
  LinkSession link("blocks");
  link.OpenUdpSide(false);
  ASSERT_TRUE(LinkSession::SimIdle());
  ASSERT_TRUE(n.sim.Do("pause updates"));
  const uint64_t blocks0 = n.sim.Count("blocks"), updates0 = n.sim.Count("updates");
  link.Connect();
  ASSERT_TRUE(n.sim.Do("resume updates"));

  EXPECT_TRUE(WaitUntil([] { return FirstPatternMismatch(0, 0x14000) == 0x14000; }))
      << "image differs from the server's at 0x" << std::hex << FirstPatternMismatch(0, 0x14000);
  // Above the blocks only update frames reach: a set and a running counter.
  ASSERT_TRUE(n.sim.Do("set 0x1FFFE=0xA55A:2"));
  ASSERT_TRUE(n.sim.Do("set 0x14010=0x5A"));
  EXPECT_TRUE(WaitUntil([] { return ImageByte(0x1FFFE) == 0x5A && ImageByte(0x1FFFF) == 0xA5; }));
  EXPECT_TRUE(WaitUntil([] { return ImageByte(0x14010) == 0x5A; }));
  uint8_t counter[2];
  ReadImageBytes(0x15000, 2, counter);
  EXPECT_TRUE(WaitUntil([&] {
    uint8_t now[2];
    ReadImageBytes(0x15000, 2, now);
    return std::memcmp(now, counter, 2) != 0;
  })) << "the counter at 0x15000 does not move";

  ASSERT_TRUE(WaitUntil([&] {
    return n.sim.Count("blocks") >= blocks0 + 10 && n.sim.Count("updates") >= updates0 + 3;
  }));
  ASSERT_TRUE(n.sim.Do("pause blocks"));
  ASSERT_TRUE(n.sim.Do("pause updates"));
  const uint64_t blocks = n.sim.Count("blocks") - blocks0, updates = n.sim.Count("updates") - updates0;
  const uint32_t expected = uint32_t(blocks * kBlockActivity + updates);
  EXPECT_TRUE(WaitUntil([&] { return Activity() == expected; }))
      << Activity() << " counted, " << blocks << " blocks and " << updates << " update frames sent";
  ASSERT_TRUE(n.sim.Do("resume all"));

  const auto& lines = link.Close();
  EXPECT_EQ(0, CountContaining(lines, "TCP ")) << "a data block was refused";
  EXPECT_EQ(0, CountContaining(lines, "UDP "));
}

// A local write goes out as one frame, reaches the server's journal byte for
// byte, is held in the image against stale blocks and, once a block brings it
// back, follows the server again.
TEST_F(LinkNetns, WriteBatchReachesTheJournalAndEchoes) {
  NetSetup& n = Net();
  LinkSession link("write");
  link.OpenUdpSide(false);
  link.Connect();
  ASSERT_TRUE(WaitUntil([] { return FirstPatternMismatch(0, 0x4000) == 0x4000; }));

  const uint8_t batch[] = {2, 0, 0, 0, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0, 0};
  ASSERT_EQ(1, ApplyLocalWrite(0x0100, 4, batch + 12));
  EXPECT_EQ(Outcome::kDone, link.Get().Tcp().Send(batch, sizeof batch));
  uint8_t frame[64];
  const uint32_t length = BuildWriteBatchFrame(batch, sizeof batch, frame, sizeof frame);
  ASSERT_EQ(30u, length);
  char hex[2 * sizeof frame + 1];
  const std::string wanted = " 30 " + std::string(FormatHex(frame, length, hex));
  // A batch's journal lines may reach a reader in pieces (a long line fills
  // the stdio buffer; a write across a page shows a page at a time): the
  // record's line is waited for as well.
  EXPECT_TRUE(WaitUntil([&] {
    const std::string j = ReadFile(n.journal);
    return j.find(wanted) != std::string::npos && j.find(" 0x00100 4 c1c2c3c4\n") != std::string::npos;
  })) << "journal lacks the frame" << wanted << " or its record:\n"
      << ReadFile(n.journal);

  // The echo: a block carries the written bytes and clears their shadow.
  EXPECT_TRUE(WaitUntil([] { return ShadowClear(0x0100, 4); })) << "no block brought the written value back";
  uint8_t now[4];
  ReadImageBytes(0x0100, 4, now);
  EXPECT_EQ(0, std::memcmp(now, batch + 12, 4));
  // From then on the bytes follow the server's blocks (updates paused).
  ASSERT_TRUE(n.sim.Do("pause updates"));
  ASSERT_TRUE(n.sim.Do("set 0x0101=0x99"));
  EXPECT_TRUE(WaitUntil([] { return ImageByte(0x0101) == 0x99; }));
  ASSERT_TRUE(n.sim.Do("resume updates"));

  // Two records in one batch, one of them at a server-owned offset (not
  // applied locally), one in the second half of the image.
  const uint8_t two[] = {2, 0, 0, 0, 0x0A, 0x33, 0, 0, 2, 0, 0, 0, 0x11, 0x22,
                         2, 0, 0, 0, 0x00, 0x04, 1, 0, 1, 0, 0, 0, 0x33, 0, 0, 0, 0};
  EXPECT_EQ(Outcome::kDone, link.Get().Tcp().Send(two, sizeof two));
  EXPECT_TRUE(WaitUntil([&] {
    const std::string j = ReadFile(n.journal);
    return j.find(" 0x0330A 2 1122\n") != std::string::npos && j.find(" 0x10400 1 33\n") != std::string::npos;
  }));
  EXPECT_TRUE(WaitUntil([] {
    return ImageByte(0x330A) == 0x11 && ImageByte(0x330B) == 0x22 && ImageByte(0x10400) == 0x33;
  }))
      << "the server's new values never came back";
  EXPECT_TRUE(n.sim.RestorePattern(0x0100, 4) && n.sim.RestorePattern(0x330A, 2) && n.sim.RestorePattern(0x10400, 1));

  const auto& lines = link.Close();
  EXPECT_EQ(0, CountContaining(lines, "TCP "));
}

// Frames split over two sends (in the header, the payload, the footer) and
// several frames in one send are each applied once, whole.
TEST_F(LinkNetns, SplitAndCoalescedFramesAreAppliedWhole) {
  NetSetup& n = Net();
  ASSERT_TRUE(n.sim.Do("pause beacons"));  // none is counted between the opening and the receiver's stop
  LinkSession link("stream");
  link.OpenUdpSide(false);
  ASSERT_TRUE(LinkSession::SimIdle());
  ASSERT_TRUE(n.sim.Do("pause updates"));
  const uint64_t blocks0 = n.sim.Count("blocks");
  link.Connect();
  const char* faults[] = {"split 40", "coalesce 3", "split 20 3", "split 20 16390", "coalesce 5", "split 0 1"};
  uint64_t splits = n.sim.Count("splits"), coalesced = n.sim.Count("coalesced");
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(n.sim.Do(fault));
    const bool split = fault[0] == 's';
    ASSERT_TRUE(WaitUntil([&] {
      return split ? n.sim.Count("splits") > splits : n.sim.Count("coalesced") > coalesced;
    }));
    splits = n.sim.Count("splits");
    coalesced = n.sim.Count("coalesced");
  }
  ASSERT_TRUE(n.sim.Do("pause blocks"));
  const uint64_t blocks = n.sim.Count("blocks") - blocks0;
  EXPECT_TRUE(WaitUntil([&] { return Activity() == blocks * kBlockActivity; }))
      << Activity() << " counted, " << blocks << " blocks sent";
  EXPECT_EQ(0x14000u, FirstPatternMismatch(0, 0x14000));
  ASSERT_TRUE(n.sim.Do("resume all"));

  const auto& lines = link.Close();
  EXPECT_EQ(0, CountContaining(lines, "TCP ")) << "a split or coalesced frame was refused";
}

}  // namespace
