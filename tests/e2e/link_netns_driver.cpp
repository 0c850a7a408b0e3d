// The client's link against server_sim across a real network: this program
// runs in namespace A, server_sim (and a second one standing in for a third
// host) in namespace B; link_netns.py sets them up and passes where things
// are through the environment. The driver steers the simulators by appending
// lines to their control files and waits for each to be acknowledged in
// their status files; every wait is bounded. Each test opens the link and an
// event log of its own and closes both, then checks the lines written.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/link_addresses.h"
#include "link/link_flags.h"
#include "link/net.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"
#include "link/write_forwarding.h"
#include "sim_image.h"
#include "sim_journal.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 4000;  // the longest any one condition may take

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// Polls pred every 2 ms for at most ms milliseconds; returns its last value.
template <class Pred>
bool WaitUntil(Pred pred, int ms = kWaitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs a call that must return within ms; a hang ends the program with a
// message instead of leaving the whole run to an outer time-out.
template <class Call>
void Bounded(const char* what, int ms, Call call) {
  auto done = std::async(std::launch::async, call);
  if (done.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
    std::fprintf(stderr, "link_netns_driver: %s did not return within %d ms\n", what, ms);
    std::fflush(stderr);
    std::_Exit(3);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char ch : text) {
    if (ch == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(ch);
    }
  }
  return lines;
}

int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const auto& l : lines) n += l.find(part) != std::string::npos;
  return n;
}

// One server_sim as seen through its control and status files.
struct Sim {
  std::string control, status;
  uint64_t sent = 0;  // command lines appended so far

  std::map<std::string, std::string> Status() const {
    std::map<std::string, std::string> values;
    for (const auto& line : SplitLines(ReadFile(status))) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
  }

  uint64_t Count(const char* key) const {
    const auto values = Status();
    const auto it = values.find(key);
    return it == values.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
  }

  // Puts the start fill back at [offset, offset + size) of the simulator's image.
  bool RestorePattern(uint32_t offset, uint32_t size) {
    for (uint32_t o = offset; o < offset + size; ++o)
      if (!Do("set " + std::to_string(o) + "=" + std::to_string(PatternByte(o)) + ":1")) return false;
    return true;
  }

  // Appends one command line and waits until the simulator has carried it out.
  bool Do(const std::string& line) {
    {
      std::ofstream out(control, std::ios::app | std::ios::binary);
      out << line << "\n";
    }
    ++sent;
    return WaitUntil([&] { return Count("commands") >= sent; });
  }
};

struct NetSetup {
  std::string local, server, third, workDir, journal;
  Sim sim, thirdSim;
  bool ready = false;
};

NetSetup& Net() {
  static NetSetup s = [] {
    NetSetup n;
    n.local = Env("KV_LOCAL_IP");
    n.server = Env("KV_SERVER_IP");
    n.third = Env("KV_THIRD_IP");
    n.workDir = Env("KV_WORK_DIR");
    n.journal = Env("KV_SIM_JOURNAL");
    n.sim = Sim{Env("KV_SIM_CONTROL"), Env("KV_SIM_STATUS")};
    n.thirdSim = Sim{Env("KV_THIRD_CONTROL"), Env("KV_THIRD_STATUS")};
    n.ready = !n.local.empty() && !n.server.empty() && !n.workDir.empty() && !n.sim.control.empty();
    return n;
  }();
  return s;
}

uint32_t Activity() { return SampleLink().activity; }

uint8_t ImageByte(uint32_t o) {
  uint8_t b = 0;
  ReadImageBytes(o, 1, &b);
  return b;
}

bool ShadowClear(uint32_t offset, uint32_t size) {
  for (uint32_t o = offset; o < offset + size; ++o)
    if (WritePending(o)) return false;
  return true;
}

// First image offset in [from, to) whose byte differs from the simulator's
// start fill, or to when all agree.
uint32_t FirstPatternMismatch(uint32_t from, uint32_t to) {
  static uint8_t copy[kImageSize];
  ReadImageBytes(from, to - from, copy);
  for (uint32_t o = from; o < to; ++o)
    if (copy[o - from] != PatternByte(o)) return o;
  return to;
}

// 1 when a UDP socket of this namespace is bound to port (from /proc/net/udp).
bool UdpPortBound(uint16_t port) {
  char hexPort[8];
  std::snprintf(hexPort, sizeof hexPort, ":%04X ", port);
  for (const auto& line : SplitLines(ReadFile("/proc/net/udp"))) {
    const size_t local = line.find(':', line.find(':') + 1);  // after "sl:", the local address
    if (local != std::string::npos && line.compare(local, 6, hexPort) == 0) return true;
  }
  return false;
}

size_t ThreadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) n += entry.is_directory();
  return n;
}

// One test's link: its own event log, the settings, the image in its start
// state; Close() takes the whole link down and reads the log.
class LinkSession {
 public:
  explicit LinkSession(const char* name) {
    const NetSetup& n = Net();
    InitOffsetImage();
    std::snprintf(localIpAddress, sizeof localIpAddress, "%s", n.local.c_str());
    std::snprintf(serverIpAddress, sizeof serverIpAddress, "%s", n.server.c_str());
    programRunning.store(1);
    linkUp.store(0);
    logPath_ = n.workDir + "/" + name + ".txt";
    EXPECT_EQ(1, OpenLogs(logPath_.c_str(), (n.workDir + "/" + name + ".log").c_str()));
  }
  ~LinkSession() { Close(); }

  // OpenUdp, and the multicast receiver when beacons are to be counted.
  void OpenUdpSide(bool receiveBeacons) {
    ASSERT_EQ(1, OpenUdp());
    if (receiveBeacons) {
      ASSERT_EQ(1, StartMulticastReceiver());
    }
  }

  // Waits until the simulator has let go of any earlier connection, so that
  // what it counts from now on goes to this one.
  static bool SimIdle() { return WaitUntil([] { return Net().sim.Count("connected") == 0; }); }

  // Connects to the server and starts the TCP receiver (which starts the
  // unicast receiver); returns once port 65100 is bound, so that no update
  // frame sent from now on can miss it.
  void Connect() {
    ASSERT_EQ(1, ConnectToServer(Net().server.c_str()));
    ASSERT_EQ(1, StartTcpReceiver());
    linkUp.store(1);
    ASSERT_TRUE(WaitUntil([] { return UdpPortBound(kUpdatePort); })) << "unicast receiver never bound port 65100";
  }

  const std::vector<std::string>& Close() {
    if (closed_) return lines_;
    closed_ = true;
    Bounded("CloseLink", 3000, [] { CloseLink(); });
    Bounded("joining the receivers", 3000, [] {
      JoinTcpReceiver();
      JoinMulticastReceiver();
    });
    linkUp.store(0);
    CloseEventLog();
    lines_ = SplitLines(ReadFile(logPath_));
    return lines_;
  }

 private:
  std::string logPath_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

class LinkNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Net().ready) GTEST_SKIP() << "run by link_netns.py inside a namespace";
  }
};

// Beacons from the configured server are counted, one per beacon; beacons
// from any other host are not, but that host becomes lastSenderAddress.
TEST_F(LinkNetns, BeaconsCountOnlyFromTheConfiguredServer) {
  NetSetup& n = Net();
  ASSERT_FALSE(n.third.empty());
  ASSERT_TRUE(n.thirdSim.Do("resume beacons"));
  LinkSession link("beacons");
  link.OpenUdpSide(true);
  const uint32_t third = NetParseAddress(n.third.c_str()), server = NetParseAddress(n.server.c_str());

  // Only the third host sends: it is seen, and nothing is counted.
  ASSERT_TRUE(WaitUntil([&] { return lastSenderAddress.load() == third; })) << "no beacon from the third host";
  const uint64_t thirdSent = n.thirdSim.Count("beacons");
  ASSERT_TRUE(WaitUntil([&] { return n.thirdSim.Count("beacons") >= thirdSent + 5; }));
  EXPECT_EQ(0u, Activity());
  EXPECT_EQ(0u, serverBeaconAddress.load());
  ASSERT_TRUE(n.thirdSim.Do("pause beacons"));

  // The server sends: every beacon it sent is counted once.
  const uint64_t before = n.sim.Count("beacons");
  ASSERT_TRUE(n.sim.Do("resume beacons"));
  ASSERT_TRUE(WaitUntil([&] { return Activity() >= 5; }));
  ASSERT_TRUE(n.sim.Do("pause beacons"));
  const uint64_t sent = n.sim.Count("beacons") - before;
  EXPECT_TRUE(WaitUntil([&] { return Activity() == sent; })) << Activity() << " counted, " << sent << " sent";
  EXPECT_EQ(server, serverBeaconAddress.load());
  EXPECT_EQ(server, lastSenderAddress.load());
  char host[kNetHostNameSize];
  CopyServerHostName(host, sizeof host);
  EXPECT_NE('\0', host[0]) << "no host name; where no name service answers the numeric address stands in";
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
  EXPECT_EQ(1, SendWriteBatch(batch, sizeof batch));
  uint8_t frame[64];
  const uint32_t length = BuildWriteBatchFrame(batch, sizeof batch, frame, sizeof frame);
  ASSERT_EQ(30u, length);
  char hex[2 * sizeof frame + 1];
  const std::string wanted = " 30 " + std::string(FormatHex(frame, length, hex));
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(n.journal).find(wanted) != std::string::npos; }))
      << "journal lacks the frame" << wanted;
  EXPECT_NE(std::string::npos, ReadFile(n.journal).find(" 0x00100 4 c1c2c3c4\n"));

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
  EXPECT_EQ(1, SendWriteBatch(two, sizeof two));
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
      << Activity() / kBlockActivity << " blocks taken of " << blocks << " sent";
  EXPECT_EQ(0x14000u, FirstPatternMismatch(0, 0x14000));
  ASSERT_TRUE(n.sim.Do("resume all"));

  const auto& lines = link.Close();
  EXPECT_EQ(0, CountContaining(lines, "TCP ")) << "a split or coalesced frame was refused";
}

// Broken frames on each transport are logged in the log's words and
// dropped; the receivers go on and the image takes none of their bytes.
TEST_F(LinkNetns, MalformedFramesAreLoggedAndDropped) {
  NetSetup& n = Net();
  LinkSession link("malformed");
  link.OpenUdpSide(true);
  ASSERT_TRUE(n.sim.Do("resume beacons"));

  // The multicast cases come first, before the TCP link is up, so that the
  // count grows by beacons alone: three more beacons taken after a broken
  // frame mean the receiver has seen it.
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    if (std::strstr(c.command, "multicast") != nullptr) {
      ASSERT_TRUE(n.sim.Do(c.command));
      const uint32_t counted = Activity();
      ASSERT_TRUE(WaitUntil([&] { return Activity() >= counted + 3; })) << "no beacon taken since";
      continue;
    }
    if (linkUp.load() == 0) {
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
// one line and linkUp cleared, instead of a flood of log lines.
TEST_F(LinkNetns, ServerCloseEndsTheReceiverQuietly) {
  NetSetup& n = Net();
  for (const char* how : {"close", "reset"}) {
    SCOPED_TRACE(how);
    LinkSession link(how);
    link.OpenUdpSide(false);
    link.Connect();
    ASSERT_TRUE(WaitUntil([] { return Activity() > 0; }));
    ASSERT_TRUE(n.sim.Do(how));
    EXPECT_TRUE(WaitUntil([] { return linkUp.load() == 0; })) << "linkUp stays set";
    Bounded("JoinTcpReceiver after the server closed", 3000, [] { JoinTcpReceiver(); });
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
  EXPECT_EQ(0, ConnectToServer(n.server.c_str()));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  ASSERT_TRUE(n.sim.Do("listen"));
  EXPECT_EQ(1, ConnectToServer(n.server.c_str()));
  link.Close();
}

// CloseLink ends every receiver: no thread of the link outlives it.
TEST_F(LinkNetns, CloseLinkEndsEveryReceiver) {
  const size_t threadsBefore = ThreadCount();
  LinkSession link("threads");
  link.OpenUdpSide(true);
  link.Connect();
  ASSERT_TRUE(WaitUntil([] { return Activity() > kBlockActivity; }));
  EXPECT_EQ(threadsBefore + 3, ThreadCount()) << "multicast, TCP and unicast receivers";
  const auto start = Clock::now();
  link.Close();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }, 500));
  EXPECT_FALSE(UdpPortBound(kUpdatePort));
  EXPECT_FALSE(UdpPortBound(kBeaconPort));
}

// A long stream at full rate, run only on request (link_netns.py --load SEC):
// five block types at 50 Hz each and 1,000 update frames per second. Every
// frame sent must be taken (the counts on both sides match) and none refused;
// the receivers' share of one core is printed, not asserted.
TEST_F(LinkNetns, LoadStream) {
  const int seconds = std::atoi(Env("KV_LOAD_SECONDS").c_str());
  if (seconds <= 0) GTEST_SKIP() << "set KV_LOAD_SECONDS (link_netns.py --load SEC)";
  NetSetup& n = Net();
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
