// The link under a long stream at full rate, across a real network; run
// only on request (link_netns.py --load SEC).
#include <sys/resource.h>

#include "ipc/offset_image.h"
#include "link_netns_harness.h"

namespace {

// A long stream at full rate, run only on request (link_netns.py --load SEC):
// five block types at 50 Hz each and 1,000 update frames per second. Every
// frame sent must be taken (the counts on both sides match) and none refused;
// the receivers' share of one core is printed, not asserted.
TEST_F(LinkNetns, LoadStream) {
  const int seconds = std::atoi(Env("KV_LOAD_SECONDS").c_str());
  if (seconds <= 0) GTEST_SKIP() << "set KV_LOAD_SECONDS (link_netns.py --load SEC)";
  NetSetup& n = Net();
  ASSERT_TRUE(n.sim.Do("pause beacons"));  // none is counted between the opening and the receiver's stop
  LinkSession link("load");
  link.OpenUdpSide(false);
  ASSERT_TRUE(LinkSession::SimIdle());
  ASSERT_TRUE(n.sim.Do("pause updates"));
  ASSERT_TRUE(n.sim.Do("rate blocks 50"));
  ASSERT_TRUE(n.sim.Do("rate updates 1000"));
  const uint64_t blocks0 = n.sim.Count("blocks"), updates0 = n.sim.Count("updates");
  link.Connect();
  ASSERT_TRUE(n.sim.Do("resume updates"));

  // The main thread only sleeps now: the process's CPU time is the receivers'.
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  getrusage(RUSAGE_SELF, &after);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const auto cpu = [](const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };

  ASSERT_TRUE(n.sim.Do("pause all"));
  const uint64_t blocks = n.sim.Count("blocks") - blocks0, updates = n.sim.Count("updates") - updates0;
  const uint32_t expected = uint32_t(blocks * kBlockActivity + updates);
  EXPECT_TRUE(WaitUntil([&] { return Activity() == expected; }))
      << "counted " << Activity() << ", sent " << blocks << " blocks and " << updates << " update frames";
  std::printf("load: %.1f s, %llu data blocks (%.1f/s), %llu update frames (%.1f/s), receivers %.2f%% of one core\n",
              wall, (unsigned long long)blocks, double(blocks) / wall, (unsigned long long)updates,
              double(updates) / wall, 100 * (cpu(after) - cpu(before)) / wall);
  ASSERT_TRUE(n.sim.Do("rate blocks 20"));
  ASSERT_TRUE(n.sim.Do("rate updates 50"));
  ASSERT_TRUE(n.sim.Do("resume all"));
  const auto& lines = link.Close();
  EXPECT_EQ(0, CountContaining(lines, "TCP "));
  EXPECT_EQ(0, CountContaining(lines, "UDP "));
}

}  // namespace
