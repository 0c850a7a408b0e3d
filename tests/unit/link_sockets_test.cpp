// The link's receivers driven over real loopback sockets: split and
// coalesced blocks, update frames, write batches, the server closing or
// resetting the connection, reconnecting, and closing the link ending every
// receiver. The tests use the link's fixed ports on 127.0.0.1: run as root
// they get a network namespace of their own (link_fixture.h), so no other
// program on the host can hold those ports (CMake also runs them one at a
// time).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc/image_access.h"
#include "link/frames.h"
#include "link/net.h"
#include "link_fixture.h"

namespace {

TEST_F(LinkTest, TcpReceiverReassemblesTheStreamAndEndsOnceWhenTheServerCloses) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  link_->Tcp().SetUp();
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
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
  link_->Tcp().JoinReceiver();  // ends on its own
  EXPECT_EQ(0u, uint32_t(link_->Up()));
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
  link_->Tcp().SetUp();
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  const linger reset{1, 0};  // close with a reset
  ASSERT_EQ(0, setsockopt(int(server_), SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  NetClose(server_);
  server_ = kNoSocket;
  link_->Tcp().JoinReceiver();
  EXPECT_EQ(0u, uint32_t(link_->Up()));
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
  link_->Tcp().SetUp();
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  EXPECT_TRUE(WaitUntil([] { return ImageByte(0x0274) == 0x51; }));
}

TEST_F(LinkTest, WriteBatchGoesOutAsOneFrame) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  const Bytes batch = {2, 0, 0, 0, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(Outcome::kDone, link_->Tcp().Send(batch.data(), uint32_t(batch.size())));
  const Bytes expected = MakeFrame(kTypeWriteBatch, kTagWriteBatch, batch);
  Bytes got;
  uint8_t buffer[64];
  // Until the whole frame is in: a quiet 100 ms on a loaded machine is no end.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < expected.size() && std::chrono::steady_clock::now() < until) {
    if (NetWaitReadable(server_, 100) != 1) continue;
    const int n = NetRecv(server_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  EXPECT_EQ(expected, got);
  // A failed batch takes the link down, and only the batch that found the
  // link broken logs it.
  link_->Close();
  ASSERT_EQ(1, log_.Restart());
  link_->Tcp().SetUp();
  EXPECT_EQ(Outcome::kNoLink, link_->Tcp().Send(batch.data(), uint32_t(batch.size())));
  EXPECT_EQ(0u, uint32_t(link_->Up()));
  EXPECT_EQ(Outcome::kNoLink, link_->Tcp().Send(batch.data(), uint32_t(batch.size())));
  EXPECT_EQ(std::vector<std::string>{"Network error-> FS6IPC_MESSAGE_FAILURE"}, Lines());
}

// Two front ends write at once, each with a batch of its own: every frame
// reaches the server whole (the sender builds and sends one at a time), and
// each batch's write is in the image.
TEST_F(LinkTest, WriteBatchesOfTwoThreadsReachTheServerAsWholeFrames) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  link_->Tcp().SetUp();
  constexpr int kBatches = 150;
  constexpr uint32_t kSize = 4000;
  struct Writer {
    uint32_t offset;
    uint8_t fill;
    Bytes frame;  // what each of its batches becomes on the stream
  } writers[2] = {{0x0100, 0xAA, {}}, {0x4000, 0xBB, {}}};
  for (Writer& w : writers) {
    Bytes records = {2, 0, 0, 0, uint8_t(w.offset), uint8_t(w.offset >> 8), 0, 0,
                     uint8_t(kSize), uint8_t(kSize >> 8), 0, 0};
    records.resize(records.size() + kSize, w.fill);
    records.resize(records.size() + 4, 0);  // the end marker
    w.frame = MakeFrame(kTypeWriteBatch, kTagWriteBatch, records);
  }
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (const Writer& w : writers)
    threads.emplace_back([this, &w, &failed] {
      auto batch = std::make_unique<WriteBatch>();  // a front end's own
      const Bytes data(kSize, w.fill);
      for (int i = 0; i < kBatches; ++i) {
        batch->Add(w.offset, kSize, data.data());
        if (batch->Finish(link_->Writes()) != Outcome::kDone) failed.fetch_add(1);
      }
    });
  const size_t frameSize = writers[0].frame.size();
  Bytes got;
  std::vector<uint8_t> buffer(65536);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (got.size() < 2 * kBatches * frameSize && std::chrono::steady_clock::now() < until) {
    if (NetWaitReadable(server_, 100) != 1) continue;
    const int n = NetRecv(server_, buffer.data(), uint32_t(buffer.size()));
    if (n <= 0) break;
    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failed.load());
  ASSERT_EQ(2 * kBatches * frameSize, got.size());
  int seen[2] = {0, 0};
  for (size_t at = 0; at < got.size(); at += frameSize) {
    const Bytes frame(got.begin() + long(at), got.begin() + long(at + frameSize));
    const int which = frame == writers[0].frame ? 0 : frame == writers[1].frame ? 1 : -1;
    ASSERT_NE(-1, which) << "frame " << at / frameSize << " is neither writer's";
    ++seen[which];
  }
  EXPECT_EQ(kBatches, seen[0]);
  EXPECT_EQ(kBatches, seen[1]);
  EXPECT_EQ(0xAA, ImageByte(0x0100 + kSize - 1));
  EXPECT_EQ(0xBB, ImageByte(0x4000));
}

TEST_F(LinkTest, CloseLinkEndsEveryReceiver) {
  ASSERT_EQ(1, link_->Open(0));
  // The multicast socket is bound to the beacon port on every address, so a
  // beacon sent straight to it on loopback is taken like one from the group.
  ASSERT_TRUE(SendDatagramUntil(MakeFrame(kTypeBeacon, kTagBeacon, {}), kBeaconPort,
                                [] { return Activity() >= 1; }));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  ASSERT_TRUE(SendDatagramUntil(UpdateFrame({{0, 0x0274, 0x42}}), kUpdatePort,
                                [] { return ImageByte(0x0274) == 0x42; }));
  link_->Close();
  // Nothing is left running or bound: both UDP ports are free at once.
  for (uint16_t port : {kBeaconPort, kUpdatePort}) {
    const NetSocket s = NetUdpSocket();
    EXPECT_EQ(1, NetBind(s, kLoopback, port)) << port;
    NetClose(s);
  }
  EXPECT_EQ(-1, link_->Tcp().SendBytes(reinterpret_cast<const uint8_t*>("x"), 1));
  link_->Tcp().JoinReceiver();
  const auto lines = Lines();
  const std::vector<std::string> expected = {"granting multicast to 127.0.0.1", "Closing connection to server OK"};
  EXPECT_EQ(expected, lines);  // in particular no "closed by server": the client closed it
}

TEST_F(LinkTest, ReconnectingNeverLeavesTwoReceivers) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  ASSERT_TRUE(link_->ConnectTo(kLoopback).ok());  // a second connection while the first receiver runs
  const NetSocket second = NetAccept(listener_, nullptr, nullptr);
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  // The new receiver's unicast socket could bind only because the old one was closed.
  ASSERT_TRUE(SendDatagramUntil(UpdateFrame({{0, 0x0274, 0x43}}), kUpdatePort,
                                [] { return ImageByte(0x0274) == 0x43; }));
  const Bytes block = BlockFrame(8, 0x88);
  ASSERT_EQ(int(block.size()), NetSend(second, block.data(), uint32_t(block.size())));
  ASSERT_TRUE(WaitUntil([] { return ImageByte(0x8000) == 0x88; }));
  link_->Close();
  NetClose(second);
  EXPECT_EQ(std::vector<std::string>{"Closing connection to server OK"}, Lines());
}

// A closed link gives up the writes that wait for their echo: the lost link
// may never have delivered them, and the next server's blocks are the truth.
TEST_F(LinkTest, ClosingGivesUpWritesThatWaitForTheirEcho) {
  const uint8_t written[2] = {0x12, 0x34};
  ASSERT_EQ(1, ApplyLocalWrite(0x0100, 2, written));
  link_->Close();
  EXPECT_EQ(0, WritePending(0x0100) + WritePending(0x0101));
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
    ChooseAddresses(c.local, "127.0.0.1");
    EXPECT_EQ(0, link_->Open(0));
    link_->Close();
    const std::vector<std::string> expected = {c.line, "Closing connection to server OK"};
    EXPECT_EQ(expected, Lines());
  }
}

}  // namespace
