// The server link: what each receiver does with a datagram or a frame (image,
// activity count, sender filter, log lines), and the receivers themselves
// driven over real loopback sockets: split and coalesced blocks, update
// frames, write batches, the server closing or resetting the connection, and
// CloseLink ending every receiver. The tests use the link's fixed ports on
// 127.0.0.1: run as root they get a network namespace of their own, so no
// other program on the host can hold those ports (CMake also runs them one at
// a time).
#include <gtest/gtest.h>

#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipc/offset_image.h"
#include "link/frames.h"
#include "link/link_addresses.h"
#include "link/link_flags.h"
#include "link/net.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"
#include "link/write_forwarding.h"
#include "link_log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Before main, while the process has one thread: a fresh network namespace
// with its loopback up, when we may create one.
const bool privateNetwork = [] {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  if (s < 0) return false;
  bool up = ioctl(s, SIOCGIFFLAGS, &lo) == 0;
  lo.ifr_flags |= IFF_UP;
  up = up && ioctl(s, SIOCSIFFLAGS, &lo) == 0;
  close(s);
  return up;
}();

const uint32_t kLoopback = NetParseAddress("127.0.0.1");
const uint32_t kOtherHost = NetParseAddress("127.0.0.2");

Bytes MakeFrame(uint32_t type, uint32_t tag, const Bytes& payload) {
  Bytes out(payload.size() + kFrameOverhead);
  BuildFrame(type, tag, payload.data(), uint32_t(payload.size()), out.data(), uint32_t(out.size()));
  return out;
}

Bytes BlockFrame(uint32_t type, uint8_t fill, uint32_t tag = kTagFADE) {
  return MakeFrame(type, tag, Bytes(kDataBlockSize, fill));
}

// Update records: {Region, Offset, Value} each.
Bytes UpdateFrame(std::initializer_list<std::array<uint32_t, 3>> records, size_t extra = 0) {
  Bytes payload;
  for (const auto& r : records) {
    const Bytes record = {uint8_t(r[0]), 0, uint8_t(r[1]), uint8_t(r[1] >> 8), uint8_t(r[2]), 0};
    payload.insert(payload.end(), record.begin(), record.end());
  }
  payload.resize(payload.size() + extra, 0xEE);
  return MakeFrame(kTypeUpdate, kTagFADE, payload);
}

uint8_t ImageByte(uint32_t offset) {
  uint8_t v = 0;
  ReadImageBytes(offset, 1, &v);
  return v;
}

uint32_t Activity() { return SampleLink().activity; }

// Waits (without sleeping) until done() holds; false after ten seconds.
template <class Done>
bool WaitUntil(Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

class LinkTest : public testing::Test {
 protected:
  void SetUp() override {
    InitOffsetImage();
    std::strcpy(localIpAddress, "127.0.0.1");
    std::strcpy(serverIpAddress, "127.0.0.1");
    lastSenderAddress.store(0);
    serverBeaconAddress.store(0);
    programRunning.store(1);
    linkUp.store(0);
    unicastReceiving.store(1);  // as while the TCP receiver runs
    ASSERT_EQ(1, log_.Restart());
  }

  void TearDown() override {
    CloseEventLog();
    CloseLink();
    NetClose(server_);
    NetClose(listener_);
    unicastReceiving.store(0);
  }

  std::vector<std::string> Lines() { return log_.Lines(); }

  // A listener on 127.0.0.1:65000 and the client's connection to it.
  void Connect() {
    listener_ = NetTcpSocket();
    ASSERT_NE(kNoSocket, listener_);
    NetSetReuseAddress(listener_);
    ASSERT_EQ(1, NetBind(listener_, kLoopback, kServerPort))
        << "port 65000 on 127.0.0.1 is busy" << (privateNetwork ? "" : " (no namespace of our own)");
    ASSERT_EQ(1, NetListen(listener_, 4));
    ASSERT_EQ(1, ConnectToServer("127.0.0.1"));
    server_ = NetAccept(listener_, nullptr, nullptr);
    ASSERT_NE(kNoSocket, server_);
  }

  void ServerSend(const Bytes& bytes) {
    ASSERT_EQ(int(bytes.size()), NetSend(server_, bytes.data(), uint32_t(bytes.size())));
  }

  // Sends the datagram from 127.0.0.1 to port until seen() holds: the
  // receiver may not have bound its socket yet when the first one goes out.
  template <class Seen>
  bool SendDatagramUntil(const Bytes& datagram, uint16_t port, Seen seen) {
    const NetSocket s = NetUdpSocket();
    NetBind(s, kLoopback, 0);
    bool ok = false;
    for (int attempt = 0; attempt < 1000 && !ok; ++attempt) {
      NetSendTo(s, datagram.data(), uint32_t(datagram.size()), kLoopback, port);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
      while (!(ok = seen()) && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    }
    NetClose(s);
    return ok;
  }

  LinkLogCapture log_;
  NetSocket listener_ = kNoSocket;
  NetSocket server_ = kNoSocket;
};

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
    ASSERT_EQ(kFrameValid, ValidateFrame(c.frame.data(), int(c.frame.size()), kTcpFrames, &frame, &bad));
    TakeTcpFrame(frame);
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
    const char* server;  // serverIpAddress
    uint32_t receiving;  // unicastReceiving
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
    std::strcpy(serverIpAddress, c.server);
    unicastReceiving.store(c.receiving);
    lastSenderAddress.store(0);
    Bytes exact = c.datagram;  // no zero fill behind it: a read past it shows under ASan
    TakeUpdateDatagram(exact.data(), int(exact.size()), c.from);
    EXPECT_EQ(c.from, lastSenderAddress.load());
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
    uint32_t activity, beaconAddress;
    const char* line;
  } cases[] = {
      {"beacon from the server", beacon, kLoopback, 1, kLoopback, nullptr},
      {"beacon from another host", beacon, kOtherHost, 0, 0, nullptr},
      {"update frame on the multicast port", UpdateFrame({{0, 1, 1}}), kLoopback, 0, 0,
       "UDP Bad footer batch head->Size=6 foot->Checksum=FADE foot->Size=6"},
      {"data block type tagged 0xDEFA", MakeFrame(6, kTagBeacon, {}), kLoopback, 0, 0, "UDP bad messagetype 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitOffsetImage();
    ASSERT_EQ(1, log_.Restart());
    serverBeaconAddress.store(0);
    Bytes exact = c.datagram;
    TakeBeaconDatagram(exact.data(), int(exact.size()), c.from);
    EXPECT_EQ(c.from, lastSenderAddress.load());
    EXPECT_EQ(c.beaconAddress, serverBeaconAddress.load());
    EXPECT_EQ(c.activity, Activity());
    const auto lines = Lines();
    EXPECT_EQ(c.line == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.line}, lines);
  }
  // The host name comes from the lookup of the accepted sender.
  char expected[kNetHostNameSize], got[kNetHostNameSize];
  NetLookupHostName(kLoopback, expected, sizeof expected);
  CopyServerHostName(got, sizeof got);
  EXPECT_STREQ(expected, got);
  EXPECT_STRNE("", got);
  // A sender the name service knows nothing of (or no name service at all)
  // still leaves a name to show: its dotted address.
  std::strcpy(serverIpAddress, "127.0.0.2");
  TakeBeaconDatagram(beacon.data(), int(beacon.size()), kOtherHost);
  CopyServerHostName(got, sizeof got);
  EXPECT_STRNE("", got);
}

TEST(NetLayer, ShutdownWakesABlockedUdpReceive) {
  const NetSocket s = NetUdpSocket();
  ASSERT_EQ(1, NetBind(s, kLoopback, 0));
  int received = 99;
  std::thread receiver([&] {
    uint8_t buffer[64];
    received = NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr);
  });
  NetShutdownReceive(s);
  receiver.join();
  EXPECT_EQ(0, received);
  NetClose(s);
}

TEST_F(LinkTest, TcpReceiverReassemblesTheStreamAndEndsOnceWhenTheServerCloses) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  linkUp.store(1);
  ASSERT_EQ(1, StartTcpReceiver());
  const Bytes block6 = BlockFrame(6, 0x61);
  ServerSend(Bytes(block6.begin(), block6.begin() + 5));  // split inside the header
  ServerSend(Bytes(block6.begin() + 5, block6.begin() + 9000));
  ServerSend(Bytes(block6.begin() + 9000, block6.end()));
  Bytes two = BlockFrame(7, 0x71, kTagBlock1A2B);  // two frames in one send
  const Bytes block10 = BlockFrame(10, 0xA1, kTagBlock1B2C);
  two.insert(two.end(), block10.begin(), block10.end());
  ServerSend(two);
  ASSERT_TRUE(WaitUntil([] { return Activity() == 3 * 16384; }));
  // Update frames reach the unicast receiver while the TCP link is up.
  ASSERT_TRUE(SendDatagramUntil(UpdateFrame({{0, 0x337E, 0x42}}), kUpdatePort,
                                [] { return ImageByte(0x337E) == 0x42; }));
  NetClose(server_);  // the server goes away
  server_ = kNoSocket;
  JoinTcpReceiver();  // ends on its own
  EXPECT_EQ(0u, linkUp.load());
  EXPECT_EQ(0x61, ImageByte(0x0000));
  EXPECT_EQ(0x61, ImageByte(0x3FFF));
  EXPECT_EQ(0x71, ImageByte(0x4000));
  EXPECT_EQ(0x71, ImageByte(0x7FFF));
  EXPECT_EQ(0x00, ImageByte(0x8000));
  EXPECT_EQ(0xA1, ImageByte(0x10000));
  EXPECT_EQ(0xA1, ImageByte(0x13FFF));
  // The unicast receiver has ended too: its port is free again.
  const NetSocket port = NetUdpSocket();
  EXPECT_EQ(1, NetBind(port, kLoopback, kUpdatePort));
  NetClose(port);
  EXPECT_EQ(std::vector<std::string>{"Connection closed by server"}, Lines());
}

TEST_F(LinkTest, ResetConnectionIsOneLine) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  linkUp.store(1);
  ASSERT_EQ(1, StartTcpReceiver());
  const linger reset{1, 0};  // close with a reset
  ASSERT_EQ(0, setsockopt(int(server_), SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  NetClose(server_);
  server_ = kNoSocket;
  JoinTcpReceiver();
  EXPECT_EQ(0u, linkUp.load());
  const auto lines = Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(lines[0] == "Connection to server failed, receive error" || lines[0] == "Connection closed by server")
      << lines[0];
}

// The descriptor of this process's end of the connection that the server
// accepted as server: the socket whose peer is the server's local end.
int ClientEndOf(NetSocket server) {
  sockaddr_in serverEnd{}, peer{};
  socklen_t size = sizeof serverEnd;
  if (getsockname(int(server), reinterpret_cast<sockaddr*>(&serverEnd), &size) != 0) return -1;
  for (int fd = 0; fd < 1024; ++fd) {
    size = sizeof peer;
    if (fd != int(server) && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
        peer.sin_port == serverEnd.sin_port && peer.sin_addr.s_addr == serverEnd.sin_addr.s_addr)
      return fd;
  }
  return -1;
}

TEST_F(LinkTest, ConnectedSocketSendsWithoutDelayAndWithItsTimeLimit) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  const int fd = ClientEndOf(server_);
  ASSERT_GE(fd, 0);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(0, getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size));
  EXPECT_NE(0, noDelay);
  timeval limit{};
  size = sizeof limit;
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &size));
  EXPECT_EQ(2, limit.tv_sec);
}

// The server sends update frames as soon as it has accepted: the first one
// must not find the port closed while the receivers are still starting.
TEST_F(LinkTest, UpdateFrameSentRightAfterTheConnectIsApplied) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  const Bytes frame = UpdateFrame({{0, 0x0274, 0x51}});
  const NetSocket s = NetUdpSocket();
  NetBind(s, kLoopback, 0);
  ASSERT_EQ(int(frame.size()), NetSendTo(s, frame.data(), uint32_t(frame.size()), kLoopback, kUpdatePort));
  NetClose(s);
  linkUp.store(1);
  ASSERT_EQ(1, StartTcpReceiver());
  EXPECT_TRUE(WaitUntil([] { return ImageByte(0x0274) == 0x51; }));
}

TEST_F(LinkTest, WriteBatchGoesOutAsOneFrame) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  const Bytes batch = {2, 0, 0, 0, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(1, SendWriteBatch(batch.data(), uint32_t(batch.size())));
  Bytes got;
  uint8_t buffer[64];
  for (int i = 0; i < 100 && got.size() < 30 && NetWaitReadable(server_, 100) == 1; ++i) {
    const int n = NetRecv(server_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  Bytes expected = MakeFrame(kTypeWriteBatch, kTagWriteBatch, batch);
  EXPECT_EQ(expected, got);
  // A failed batch takes the link down, and only the batch that found the
  // link broken logs it.
  CloseLink();
  ASSERT_EQ(1, log_.Restart());
  linkUp.store(1);
  EXPECT_EQ(3, SendWriteBatch(batch.data(), uint32_t(batch.size())));
  EXPECT_EQ(0u, linkUp.load());
  EXPECT_EQ(3, SendWriteBatch(batch.data(), uint32_t(batch.size())));
  EXPECT_EQ(std::vector<std::string>{"Network error-> FS6IPC_MESSAGE_FAILURE"}, Lines());
}

TEST_F(LinkTest, CloseLinkEndsEveryReceiver) {
  ASSERT_EQ(1, OpenUdp());
  ASSERT_EQ(1, StartMulticastReceiver());
  // The multicast socket is bound to the beacon port on every address, so a
  // beacon sent straight to it on loopback is taken like one from the group.
  ASSERT_TRUE(SendDatagramUntil(MakeFrame(kTypeBeacon, kTagBeacon, {}), kBeaconPort,
                                [] { return serverBeaconAddress.load() == kLoopback; }));
  EXPECT_GE(Activity(), 1u);
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(1, StartTcpReceiver());
  ASSERT_TRUE(SendDatagramUntil(UpdateFrame({{0, 0x0274, 0x42}}), kUpdatePort,
                                [] { return ImageByte(0x0274) == 0x42; }));
  EXPECT_EQ(1, CloseLink());
  // Nothing is left running or bound: both UDP ports are free at once.
  for (uint16_t port : {kBeaconPort, kUpdatePort}) {
    const NetSocket s = NetUdpSocket();
    EXPECT_EQ(1, NetBind(s, kLoopback, port)) << port;
    NetClose(s);
  }
  EXPECT_EQ(-1, SendOnTcpLink(reinterpret_cast<const uint8_t*>("x"), 1));
  JoinTcpReceiver();
  JoinMulticastReceiver();
  const auto lines = Lines();
  const std::vector<std::string> expected = {"granting multicast to 127.0.0.1", "Closing connection to server OK"};
  EXPECT_EQ(expected, lines);  // in particular no "closed by server": the client closed it
}

TEST_F(LinkTest, ReconnectingNeverLeavesTwoReceivers) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(1, StartTcpReceiver());
  ASSERT_EQ(1, ConnectToServer("127.0.0.1"));  // a second connection while the first receiver runs
  const NetSocket second = NetAccept(listener_, nullptr, nullptr);
  ASSERT_EQ(1, StartTcpReceiver());
  // The new receiver's unicast socket could bind only because the old one was closed.
  ASSERT_TRUE(SendDatagramUntil(UpdateFrame({{0, 0x0274, 0x43}}), kUpdatePort,
                                [] { return ImageByte(0x0274) == 0x43; }));
  const Bytes block = BlockFrame(8, 0x88);
  ASSERT_EQ(int(block.size()), NetSend(second, block.data(), uint32_t(block.size())));
  ASSERT_TRUE(WaitUntil([] { return ImageByte(0x8000) == 0x88; }));
  CloseLink();
  NetClose(second);
  EXPECT_EQ(std::vector<std::string>{"Closing connection to server OK"}, Lines());
}

TEST_F(LinkTest, OpenUdpFailures) {
  const struct {
    const char* local;
    const char* line;
  } cases[] = {
      {"10.254.254.254", "Bind to 10.254.254.254:54942 failed"},  // not an address of this host
      {"no address", "Bind to no address:54942 failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.local);
    ASSERT_EQ(1, log_.Restart());
    std::strcpy(localIpAddress, c.local);
    EXPECT_EQ(0, OpenUdp());
    CloseLink();
    const std::vector<std::string> expected = {c.line, "Closing connection to server OK"};
    EXPECT_EQ(expected, Lines());
  }
}

}  // namespace
