// For the link's tests: frames built here, the image and the activity count
// read back, a wait that yields instead of sleeping, and the LinkTest fixture
// (a fresh link on loopback addresses, the event log captured, a loopback
// server to connect to). Each program that includes it runs in a network
// namespace of its own (private_network.h).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc/offset_image.h"
#include "base/shared_flags.h"
#include "link/frames.h"
#include "link/link.h"
#include "link/net.h"
#include "link_log_capture.h"
#include "private_network.h"

using Bytes = std::vector<uint8_t>;

inline const uint32_t kLoopback = NetParseAddress("127.0.0.1");
inline const uint32_t kOtherHost = NetParseAddress("127.0.0.2");

inline Bytes MakeFrame(uint32_t type, uint32_t tag, const Bytes& payload) {
  Bytes out(payload.size() + kFrameOverhead);
  BuildFrame(type, tag, payload.data(), uint32_t(payload.size()), out.data(), uint32_t(out.size()));
  return out;
}

inline Bytes BlockFrame(uint32_t type, uint8_t fill, uint32_t tag = kTagFADE) {
  return MakeFrame(type, tag, Bytes(kDataBlockSize, fill));
}

// Update records: {Region, Offset, Value} each.
inline Bytes UpdateFrame(std::initializer_list<std::array<uint32_t, 3>> records, size_t extra = 0) {
  Bytes payload;
  for (const auto& r : records) {
    const Bytes record = {uint8_t(r[0]), 0, uint8_t(r[1]), uint8_t(r[1] >> 8), uint8_t(r[2]), 0};
    payload.insert(payload.end(), record.begin(), record.end());
  }
  payload.resize(payload.size() + extra, 0xEE);
  return MakeFrame(kTypeUpdate, kTagFADE, payload);
}

inline uint8_t ImageByte(uint32_t offset) {
  uint8_t v = 0;
  ReadImageBytes(offset, 1, &v);
  return v;
}

inline uint32_t Activity() { return SampleLink().activity; }

// Waits (without sleeping) until done() holds; false after ten seconds.
template <class Done>
inline bool WaitUntil(Done done) {
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
    ChooseAddresses("127.0.0.1", "127.0.0.1");
    programRunning.store(1);
    link_->Udp().AcceptUpdates(true);  // as while the TCP receiver runs
    ASSERT_EQ(1, log_.Restart());
  }

  void TearDown() override {
    CloseEventLog();
    link_->Close();
    NetClose(server_);
    NetClose(listener_);
  }

  std::vector<std::string> Lines() { return log_.Lines(); }

  // The two settings, and the choice an opening makes from them on loopback.
  void ChooseAddresses(const char* local, const char* server) {
    link_->Configure(local, server);
    uint32_t listen[kMaxAdapters];
    link_->Choice().Open(&kLoopback, 1, listen);
  }

  // A listener on 127.0.0.1:65000 and the client's connection to it.
  void Connect() {
    listener_ = NetTcpSocket();
    ASSERT_NE(kNoSocket, listener_);
    NetSetReuseAddress(listener_);
    ASSERT_EQ(1, NetBind(listener_, kLoopback, kServerPort))
        << "port 65000 on 127.0.0.1 is busy" << (privateNetwork ? "" : " (no namespace of our own)");
    ASSERT_EQ(1, NetListen(listener_, 4));
    ASSERT_TRUE(link_->ConnectTo(kLoopback).ok());
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

  std::unique_ptr<Link> link_ = std::make_unique<Link>();
  LinkLogCapture log_;
  NetSocket listener_ = kNoSocket;
  NetSocket server_ = kNoSocket;
};
