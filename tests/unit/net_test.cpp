// The socket seam on either platform: address text, bounded sends and
// connection attempts over loopback. The same file runs natively and, built
// for Windows, under Wine: what Winsock (or Wine) keeps of an option shows in
// what the calls then do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "link/net.h"

namespace {

const uint32_t kLoopback = NetParseAddress("127.0.0.1");

// Winsock needs its start-up before the first socket.
class SocketLibrary : public testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(1, NetStartup()); }
  void TearDown() override { NetCleanup(); }
};
const testing::Environment* const socketLibrary = testing::AddGlobalTestEnvironment(new SocketLibrary);

TEST(NetLayer, AddressText) {
  const struct {
    const char* text;
    const char* formatted;  // nullptr: rejected
  } cases[] = {
      {"10.0.0.1", "10.0.0.1"},       {"192.168.1.40", "192.168.1.40"}, {"010.0.0.1", "8.0.0.1"},
      {"1.2.3", "1.2.0.3"},           {"abc", nullptr},                  {"256.0.0.1", nullptr},
      {"239.192.0.10", "239.192.0.10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const uint32_t address = NetParseAddress(c.text);
    if (c.formatted == nullptr) {
      EXPECT_EQ(kNetNoAddress, address);
      continue;
    }
    char text[kNetAddressTextSize];
    EXPECT_STREQ(c.formatted, NetFormatAddress(address, text));
  }
  const uint32_t loopback = kLoopback;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&loopback);
  EXPECT_EQ(127, bytes[0]);  // network byte order
}

TEST(NetLayer, RouteSourceAndLocalAddresses) {
  const uint32_t loopback = NetParseAddress("127.0.0.1");
  uint32_t source = 0;
  ASSERT_EQ(1, NetRouteSource(loopback, &source));
  EXPECT_EQ(loopback, source);
  uint32_t addresses[32];
  const int count = NetLocalAddresses(addresses, 32);
  ASSERT_GE(count, 0);
  for (int i = 0; i < count; ++i) EXPECT_NE(127, reinterpret_cast<const uint8_t*>(&addresses[i])[0]);
}

TEST(NetLayer, SendRunsOutOfTimeWhenThePeerStopsReading) {
  const NetSocket listener = NetTcpSocket();
  ASSERT_EQ(1, NetBind(listener, kLoopback, 0));
  ASSERT_EQ(1, NetListen(listener, 1));
  uint16_t port = 0;
  ASSERT_EQ(1, NetLocalName(listener, nullptr, &port));
  const NetSocket client = NetTcpSocket();
  ASSERT_TRUE(NetConnect(client, kLoopback, port, 2000, nullptr).ok());
  const NetSocket peer = NetAccept(listener, nullptr, nullptr);
  static uint8_t big[16 << 20];
  ASSERT_EQ(1, NetSetSendTimeLimit(client, 50));
  EXPECT_EQ(-1, NetSend(client, big, sizeof big));  // the peer never reads
  NetClose(peer);
  NetClose(client);
  NetClose(listener);
}

TEST(NetLayer, ConnectToAClosedPortFails) {
  const NetSocket probe = NetTcpSocket();
  ASSERT_EQ(1, NetBind(probe, kLoopback, 0));
  uint16_t port = 0;
  ASSERT_EQ(1, NetLocalName(probe, nullptr, &port));
  NetClose(probe);  // nothing listens there now
  const NetSocket client = NetTcpSocket();
  const Status connected = NetConnect(client, kLoopback, port, 2000, nullptr);
  NetClose(client);
  EXPECT_EQ(Outcome::kFailed, connected.outcome());
  char words[Status::kTextSize];
  EXPECT_STREQ(NetErrorWords(NetLastError(), words, sizeof words), connected.text()) << "the platform's reason";
}

// Each failure leaves the platform's reason, and the kinds read the same on
// either platform. (Not a bind to another host's address: Wine lets a UDP
// socket bind to one.)
TEST(NetLayer, AFailureKeepsThePlatformsReason) {
  const NetSocket taken = NetUdpSocket();
  ASSERT_EQ(1, NetBind(taken, kLoopback, 0));
  uint16_t takenPort = 0;
  ASSERT_EQ(1, NetLocalName(taken, nullptr, &takenPort));
  const NetSocket closed = NetTcpSocket();
  ASSERT_EQ(1, NetBind(closed, kLoopback, 0));
  uint16_t closedPort = 0;
  ASSERT_EQ(1, NetLocalName(closed, nullptr, &closedPort));
  NetClose(closed);  // nothing listens there now

  struct Ports {
    uint16_t taken, closed;
  };
  const struct {
    const char* what;
    bool tcp;
    bool (*fails)(NetSocket s, Ports ports);  // true when the call failed as it should
    NetErrorKind kind;
  } cases[] = {
      {"connect to a closed port", true,
       [](NetSocket s, Ports p) { return !NetConnect(s, kLoopback, p.closed, 2000, nullptr).ok(); },
       NetErrorKind::kRefused},
      {"bind to a port in use", false, [](NetSocket s, Ports p) { return NetBind(s, kLoopback, p.taken) == 0; },
       NetErrorKind::kAddressInUse},
      {"datagram receive runs out of time", false,
       [](NetSocket s, Ports) {
         uint8_t buffer[4];
         return NetBind(s, kLoopback, 0) == 1 && NetSetReceiveTimeLimit(s, 20) == 1 &&
                NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr) == kNetTimedOut;
       },
       NetErrorKind::kTimedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const NetSocket s = c.tcp ? NetTcpSocket() : NetUdpSocket();
    ASSERT_TRUE(c.fails(s, Ports{takenPort, closedPort}));
    const int code = NetLastError();
    const Status status = NetFailure("%s", c.what);
    NetClose(s);
    EXPECT_NE(0, code);
    EXPECT_EQ(int(c.kind), int(NetErrorKindOf(code)));
    // A status made at the failure names what failed and the platform's words.
    char words[Status::kTextSize];
    NetErrorWords(code, words, sizeof words);
    EXPECT_STRNE("", words);
    EXPECT_EQ(std::string(c.what) + ": " + words, status.text());
  }
  NetClose(taken);
}

TEST(NetLayer, DatagramReceiveRunsOutOfTimeThenTakesTheNextDatagram) {
  const NetSocket s = NetUdpSocket();
  ASSERT_EQ(1, NetBind(s, kLoopback, 0));
  uint16_t port = 0;
  ASSERT_EQ(1, NetLocalName(s, nullptr, &port));
  ASSERT_EQ(1, NetSetReceiveTimeLimit(s, 50));
  uint8_t buffer[16];
  EXPECT_EQ(kNetTimedOut, NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr));  // nothing sent yet
  const NetSocket sender = NetUdpSocket();
  const uint8_t datagram[3] = {1, 2, 3};
  ASSERT_EQ(3, NetSendTo(sender, datagram, sizeof datagram, kLoopback, port));
  EXPECT_EQ(3, NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr));  // the socket still receives
  NetClose(sender);
  NetClose(s);
}

// A receiver blocked with no time limit, on a datagram socket and on a
// connected stream, is woken by NetCancelReceive, repeated as a closer does
// until the receiver has ended; the socket is still open afterwards.
TEST(NetLayer, CancelledReceiveWakesItsThreadAndLeavesTheSocketOpen) {
  for (const bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "stream" : "datagram");
    NetSocket listener = kNoSocket, peer = kNoSocket, s = kNoSocket;
    uint16_t port = 0;
    if (stream) {
      listener = NetTcpSocket();
      ASSERT_EQ(1, NetBind(listener, kLoopback, 0));
      ASSERT_EQ(1, NetListen(listener, 1));
      ASSERT_EQ(1, NetLocalName(listener, nullptr, &port));
      s = NetTcpSocket();
      ASSERT_TRUE(NetConnect(s, kLoopback, port, 2000, nullptr).ok());
      peer = NetAccept(listener, nullptr, nullptr);
      ASSERT_NE(kNoSocket, peer);
    } else {
      s = NetUdpSocket();
      ASSERT_EQ(1, NetBind(s, kLoopback, 0));
    }
    std::atomic<int> result{1};
    std::atomic<bool> ended{false};
    std::thread receiver([&] {
      uint8_t buffer[64];
      result.store(stream ? NetRecv(s, buffer, sizeof buffer) : NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr));
      ended.store(true);
    });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ended.load() && std::chrono::steady_clock::now() < giveUp) {
      EXPECT_EQ(1, NetCancelReceive(s));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool woken = ended.load();
    if (!woken) NetClose(s);  // a receiver that stays asleep is woken the old way, so that it can be joined
    receiver.join();
    ASSERT_TRUE(woken);
    EXPECT_LE(result.load(), 0);
    uint16_t stillBound = 0;
    EXPECT_EQ(1, NetLocalName(s, nullptr, &stillBound));
    EXPECT_NE(0, stillBound);
    NetClose(s);
    NetClose(peer);
    NetClose(listener);
  }
}

}  // namespace
