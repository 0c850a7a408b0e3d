// The TCP link: connection attempt, TCP receiver with stream reassembly,
// closing. The receiver waits in one blocking receive that takes whatever
// the socket holds (64 KB and more), and ends when its flag is cleared, when
// its socket has been taken out of use (the closer cancels its receive), or when
// the server closes the connection (one event-log line, linkUp cleared: the
// supervisor then takes the link down). Its frame reader is static storage
// that belongs to the one receiver that runs at a time.
#include "link/tcp_link.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "ipc/offset_image.h"
#include "link/frame_reader.h"
#include "link/link_flags.h"
#include "link/net.h"
#include "link/receiver_thread.h"
#include "link/udp_receivers.h"

namespace {

constexpr uint32_t kConnectTimeLimitMs = 2000;
constexpr uint32_t kSendTimeLimitMs = 2000;

std::atomic<NetSocket> tcpSocket{kNoSocket};
std::atomic<uint32_t> tcpSenders{0};  // sends in flight on tcpSocket
std::atomic<uint32_t> blockArrived{0};  // the connection made last has brought a data block
ReceiverThread tcpReceiver;
FrameReader tcpReader;

void ReportBadTcpFrame(void*, const BadFrame& bad) { LogBadFrame(kTcpFrames, bad); }

// The server closed the connection (received 0) or it failed (-1): one line,
// and the link is no longer usable for write batches.
void ReportConnectionEnd(int received) {
  char now[kTimestampSize];
  if (received == 0)
    LogEvent("%s Connection closed by server\n", FormatTimestamp(now));
  else
    LogEvent("%s Connection to server failed, receive error\n", FormatTimestamp(now));
  linkUp.store(0);
}

// One receive into the reader, and every whole frame it completes. Returns
// 1 to go on, 0 when the receiver is to end.
int ReceiveTcp(NetSocket s) {
  uint32_t room = 0;
  uint8_t* space = FrameReaderSpace(tcpReader, &room);
  const int n = NetRecv(s, space, room);
  if (tcpSocket.load() != s || tcpReceiving.load() == 0) return 0;  // taken out of use: woken by its closer
  if (n <= 0) {
    if (tcpSocket.load() == s) ReportConnectionEnd(n);
    return 0;
  }
  FrameReaderCommit(tcpReader, uint32_t(n));
  Frame frame{};
  while (NextFrame(tcpReader, &frame) == NextFrameResult::kFrame) TakeTcpFrame(frame);
  return 1;
}

void TcpReceiverThread() {
  const NetSocket s = tcpSocket.load();
  StartUnicastReceiver();
  ResetFrameReader(tcpReader, kTcpFrames, ReportBadTcpFrame, nullptr);
  while (s != kNoSocket && tcpReceiving.load() != 0 && tcpSocket.load() == s)
    if (ReceiveTcp(s) == 0) break;
  StopUnicastReceiver();
}

// Takes tcpSocket out of use and closes it once nobody uses it: the receive
// is cancelled until the receiver, which finds its socket gone, has ended; a
// write batch in flight ends within its time limit.
void RetireTcpSocket() {
  const NetSocket s = tcpSocket.exchange(kNoSocket);
  if (s != kNoSocket) NetShutdownBoth(s);  // the server sees the end at once
  tcpReceiver.Join([s] {
    if (s != kNoSocket) NetCancelReceive(s);
  });
  while (tcpSenders.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  NetClose(s);
}

}  // namespace

void TakeTcpFrame(const Frame& frame) {
  if (frame.type < kTypeFirstBlock || frame.type > kTypeLastBlock) {
    LogWrongType(kTcpFrames, frame.type);
    return;
  }
  if (frame.size != kDataBlockSize) {
    LogWrongBlockSize(frame.type, frame.size);
    return;
  }
  if (TakeDataBlock(frame.type, frame.payload) == 1 && blockArrived.load(std::memory_order_relaxed) == 0)
    blockArrived.store(1);
}

int ConnectionBroughtData() { return int(blockArrived.load()); }

int ConnectToServer(uint32_t server, uint32_t* localEnd) {
  RetireTcpSocket();  // normally CloseLink has done this already
  blockArrived.store(0);
  const NetSocket s = NetTcpSocket();
  if (s == kNoSocket) return 0;
  if (NetConnect(s, server, kServerPort, kConnectTimeLimitMs, &programRunning) != 1) {
    NetClose(s);
    return 0;
  }
  // Options of the live connection (one platform drops them when they are set
  // before a non-blocking connect): a batch leaves at once instead of waiting
  // for the acknowledgement of the last one, and every send has its bound
  // without an option call on the request path.
  NetSetNoDelay(s);
  NetSetSendTimeLimit(s, kSendTimeLimitMs);
  if (localEnd != nullptr && NetLocalName(s, localEnd, nullptr) == 0) *localEnd = 0;
  tcpSocket.store(s);
  return 1;
}

int StartTcpReceiver() {
  tcpReceiver.Join();  // an earlier receiver has ended before the flag is set again
  tcpReceiving.store(1);
  return tcpReceiver.Start(TcpReceiverThread);
}

void JoinTcpReceiver() { tcpReceiver.Join(); }

void CloseTcpSocket() { RetireTcpSocket(); }

int SendOnTcpLink(const uint8_t* data, uint32_t size) {
  tcpSenders.fetch_add(1);  // before the load: a closer that took the socket waits for us
  const NetSocket s = tcpSocket.load();
  const int sent = s == kNoSocket ? -1 : NetSend(s, data, size);
  tcpSenders.fetch_sub(1);
  return sent;
}
