// The TCP link: connection attempt, TCP receiver with stream reassembly,
// write batches, closing. The receiver waits in one blocking receive that
// takes whatever the socket holds (64 KB and more), and ends when its socket
// has been taken out of use (the closer cancels its receive), or when the
// server closes the connection (one event-log line, the link taken down: the
// supervisor then closes it). Write batches become one frame each in a frame
// buffer of their own; the lock keeps that buffer to one batch at a time, and
// with it the frames on the stream whole and in the order their sends began.
#include "link/tcp_link.h"

#include <chrono>
#include <thread>

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"

namespace {

constexpr uint32_t kConnectTimeLimitMs = 2000;
constexpr uint32_t kSendTimeLimitMs = 2000;

void ReportBadTcpFrame(void*, const BadFrame& bad) { LogBadFrame(kTcpFrames, bad); }

}  // namespace

// The server closed the connection (received 0) or it failed (-1): one line,
// and the link is no longer usable for write batches.
void TcpLink::ConnectionEnded(int received) {
  char now[kTimestampSize];
  if (received == 0)
    LogEvent("%s Connection closed by server\n", FormatTimestamp(now));
  else
    LogEvent("%s Connection to server failed, receive error\n", FormatTimestamp(now));
  up_.store(0);
}

// One receive into the reader, and every whole frame it completes. Returns
// 1 to go on, 0 when the receiver is to end.
int TcpLink::Receive(NetSocket s) {
  uint32_t room = 0;
  uint8_t* space = FrameReaderSpace(reader_, &room);
  const int n = NetRecv(s, space, room);
  if (socket_.load() != s) return 0;  // taken out of use: woken by its closer
  if (n <= 0) {
    ConnectionEnded(n);
    return 0;
  }
  FrameReaderCommit(reader_, uint32_t(n));
  Frame frame{};
  while (NextFrame(reader_, &frame) == NextFrameResult::kFrame) TakeFrame(frame);
  return 1;
}

void TcpLink::ReceiverLoop() {
  const NetSocket s = socket_.load();
  udp_.StartUnicastReceiver();
  ResetFrameReader(reader_, kTcpFrames, ReportBadTcpFrame, nullptr);
  while (s != kNoSocket && socket_.load() == s)
    if (Receive(s) == 0) break;
  udp_.StopUnicastReceiver();
}

void TcpLink::TakeFrame(const Frame& frame) {
  if (frame.type < kTypeFirstBlock || frame.type > kTypeLastBlock) {
    LogWrongType(kTcpFrames, frame.type);
    return;
  }
  if (frame.size != kDataBlockSize) {
    LogWrongBlockSize(frame.type, frame.size);
    return;
  }
  if (TakeDataBlock(frame.type, frame.payload) == 1 && blockArrived_.load(std::memory_order_relaxed) == 0)
    blockArrived_.store(1);
}

Status TcpLink::Connect(uint32_t server, uint32_t* localEnd) {
  Close();  // normally the link's closing has done this already
  blockArrived_.store(0);
  const NetSocket s = NetTcpSocket();
  if (s == kNoSocket) return NetFailure("no TCP socket");
  const Status connected = NetConnect(s, server, kServerPort, kConnectTimeLimitMs, &programRunning);
  if (!connected.ok()) {
    NetClose(s);
    return connected;
  }
  // Options of the live connection (one platform drops them when they are set
  // before a non-blocking connect): a batch leaves at once instead of waiting
  // for the acknowledgement of the last one, and every send has its bound
  // without an option call on the request path.
  NetSetNoDelay(s);
  NetSetSendTimeLimit(s, kSendTimeLimitMs);
  if (localEnd != nullptr && NetLocalName(s, localEnd, nullptr) == 0) *localEnd = 0;
  socket_.store(s);
  return Status::Done();
}

int TcpLink::StartReceiver() { return receiver_.Start([this] { ReceiverLoop(); }); }

// The receive is cancelled until the receiver, which finds its socket gone,
// has ended; a write batch in flight ends within its time limit.
void TcpLink::Close() {
  const NetSocket s = socket_.exchange(kNoSocket);
  if (s != kNoSocket) NetShutdownBoth(s);  // the server sees the end at once
  receiver_.Join([s] {
    if (s != kNoSocket) NetCancelReceive(s);
  });
  while (senders_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  NetClose(s);
}

int TcpLink::SendBytes(const uint8_t* data, uint32_t size) {
  senders_.fetch_add(1);  // before the load: a closer that took the socket waits for us
  const NetSocket s = socket_.load();
  const int sent = s == kNoSocket ? -1 : NetSend(s, data, size);
  senders_.fetch_sub(1);
  return sent;
}

Outcome TcpLink::SendFrame(const uint8_t* batch, uint32_t size) {
  std::lock_guard<std::mutex> hold(frameLock_);
  const uint32_t length = BuildWriteBatchFrame(batch, size, frame_, sizeof frame_);
  if (length == 0) return Outcome::kNoLink;  // larger than any batch a front end makes
  const int sent = SendBytes(frame_, length);
  if (sent < 0) return Outcome::kNoLink;
  return uint32_t(sent) == length ? Outcome::kDone : Outcome::kSentShort;
}

Outcome TcpLink::Send(const uint8_t* batch, uint32_t size) {
  const Outcome result = SendFrame(batch, size);
  if (result != Outcome::kDone && TakeDown()) {  // still up: this batch found the link broken
    char timestamp[kTimestampSize];
    LogEvent(result == Outcome::kSentShort ? "%s Bad data-> FS6IPC_MESSAGE_FAILURE\n"
                                           : "%s Network error-> FS6IPC_MESSAGE_FAILURE\n",
             FormatTimestamp(timestamp));
  }
  return result;
}
