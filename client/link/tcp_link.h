// The TCP link to the server: the connection, the TCP receiver thread (which
// runs the unicast receiver beside itself), the write batches sent on it, and
// whether the link is up. The socket is shared: the receiver reads, the front
// ends send write batches, the supervisor and the shutdown close it. Whoever
// closes it first takes it out of use, waits for the receiver (and a send in
// flight) to end, and only then closes it, so no thread ever uses a closed
// socket. Owned by the Link.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ipc/image_access.h"
#include "link/frame_reader.h"
#include "link/frames.h"
#include "link/net.h"
#include "link/receiver_thread.h"
#include "link/udp_receivers.h"

class TcpLink final : public WriteBatchSender {
 public:
  explicit TcpLink(UdpReceivers& udp) : udp_(udp) {}

  // Connects a new socket to server, port 65000. The attempt is bounded
  // (about 2 s) and gives up early once programRunning is cleared. The
  // connected socket sends without delay (TCP_NODELAY) and has its send time
  // limit; *localEnd (may be null) gets the address it was connected from.
  // Done when connected, else kFailed with the reason (no TCP socket is then
  // kept).
  Status Connect(uint32_t server, uint32_t* localEnd);

  // Starts the TCP receiver thread once an earlier one has ended. Returns 1,
  // or 0 when the thread could not be started.
  int StartReceiver();

  // Waits until the TCP receiver thread (if one was started) has ended.
  void JoinReceiver() { receiver_.Join(); }

  // Takes the socket out of use and closes it; the TCP receiver (and with it
  // the unicast receiver) has ended when it returns. Any thread.
  void Close();

  // 1 once the connection made last has brought a data block into the image.
  int BroughtData() const { return int(blockArrived_.load()); }

  // Whether write batches go out: set when the link comes up, cleared when
  // the connection ends, a write batch fails, or the supervisor takes the
  // link down. TakeDown returns whether it was up.
  void SetUp() { up_.store(1); }
  bool TakeDown() { return up_.exchange(0) != 0; }

  // WriteBatchSender, from any thread: the batch (the request's write records
  // and the 32-bit end marker) as one type-18 frame in one bounded send, one
  // batch at a time. kDone sent whole, kSentShort, kNoLink on a send error or
  // time-out. On a failure it takes the link down and, when the link was
  // still up, logs "Bad data-> ..." (short) or "Network error-> ..." (the
  // others).
  bool LinkUp() override { return up_.load() != 0; }
  Outcome Send(const uint8_t* batch, uint32_t size) override;

  // Sends size bytes within the send time limit (about 2 s). The count sent,
  // or -1 on an error, a time-out or when there is no connection.
  int SendBytes(const uint8_t* data, uint32_t size);

  // What the TCP receiver does with one whole valid frame: a data block of
  // 16384 bytes is applied (TakeDataBlock); a block of another size and a
  // frame of another type are logged and dropped. Tests and the fuzzer call
  // it too.
  void TakeFrame(const Frame& frame);

 private:
  void ReceiverLoop();
  int Receive(NetSocket s);
  void ConnectionEnded(int received);
  Outcome SendFrame(const uint8_t* batch, uint32_t size);

  UdpReceivers& udp_;
  std::atomic<NetSocket> socket_{kNoSocket};
  std::atomic<uint32_t> senders_{0};       // sends in flight on socket_
  std::atomic<uint32_t> blockArrived_{0};  // the connection made last has brought a data block
  std::atomic<uint32_t> up_{0};
  ReceiverThread receiver_;
  FrameReader reader_;  // the receiver's: one runs at a time
  std::mutex frameLock_;
  uint8_t frame_[kWriteFrameBufferSize];  // under frameLock_
};
