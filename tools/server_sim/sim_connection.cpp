// The server's TCP side: listening, the one connection, whole sends on it
// and the write batches it takes into the image. Runs on the server's one
// thread; the frame reader's buffer lives here.
#include "sim_connection.h"

#include <cstdio>

#include "link/frame_reader.h"
#include "link/net.h"
#include "sim_abort.h"
#include "sim_stamp.h"
#include "sim_state.h"
#include "sim_wire.h"

namespace {

constexpr uint32_t kSendLimitMs = 2000;     // a client that stops reading loses its connection
constexpr uint32_t kMaxReadsPerTurn = 64;   // receives per loop turn (two per frame), so sending keeps its pace

FrameReader reader;  // write batches from the connection

void ForgetConnection() {
  server.conn = kNoSocket;
  server.coalesceWanted = server.coalesceHeld = server.coalesceBytes = 0;
}

// Reports a frame with a bad footer; the reader then looks for the next good one.
void OnBadFrame(void*, const BadFrame& bad) {
  ++server.stats.badReceived;
  char why[96];
  std::snprintf(why, sizeof why, "footer size=%u foot_size=%u tag=0x%04X", bad.headSize, bad.footSize, bad.footTag);
  JournalBad(server.journal, why, nullptr, 0);
  Event("received a frame with a bad footer (%s); skipped to the next good frame", why);
}

void TakeFrame(const Frame& f) {
  if (f.type != kTypeWriteBatch) {
    ++server.stats.badReceived;
    char why[64];
    std::snprintf(why, sizeof why, "type=%u", f.type);
    JournalBad(server.journal, why, FrameStart(f), FrameLength(f));
    Event("received a frame of type %u, not a write batch", f.type);
    return;
  }
  const char* why = nullptr;
  const int records = CheckWriteBatch(f.payload, f.size, &why);
  if (records < 0) {
    ++server.stats.badReceived;
    JournalBad(server.journal, "batch", FrameStart(f), FrameLength(f));
    Event("received a malformed write batch: %s", why);
    return;
  }
  JournalBatch(server.journal, FrameStart(f), FrameLength(f), f.payload, records, server.receivedNs);
  if (server.applyWrites) ApplyWriteBatch(image, f.payload, f.size);
  ++server.stats.batches;
}

}  // namespace

int StartListening() {
  if (server.listener != kNoSocket) return 1;
  NetSocket s = NetTcpSocket();
  if (s == kNoSocket || !NetSetReuseAddress(s) || !NetBind(s, server.address, kServerPort) || !NetListen(s, 4)) {
    NetClose(s);
    Problem("cannot listen on %s:%u (is the port in use, or is the address not this machine's?)",
            server.opt.address.c_str(), kServerPort);
    return 0;
  }
  server.listener = s;
  Event("listening on %s:%u", server.opt.address.c_str(), kServerPort);
  return 1;
}

void StopListening() {
  if (server.listener == kNoSocket) return;
  NetClose(server.listener);
  server.listener = kNoSocket;
  Event("stopped listening");
}

void EndConnection(bool reset, const char* why) {
  if (server.conn == kNoSocket) return;
  if (reset) {
    AbortConnection(server.conn);
  } else {
    NetShutdownBoth(server.conn);
    NetClose(server.conn);
  }
  Event("connection from %s %s: %s", Dotted(server.connAddress).c_str(), reset ? "reset" : "closed", why);
  ForgetConnection();
}

void AcceptConnection() {
  uint32_t from = 0;
  uint16_t port = 0;
  const NetSocket s = NetAccept(server.listener, &from, &port);
  if (s == kNoSocket) return;
  EndConnection(false, "a new connection replaces it");
  NetSetSendTimeLimit(s, kSendLimitMs);
  EnableReceiveStamps(s);
  server.conn = s;
  server.connAddress = from;
  server.connPort = port;
  ++server.stats.connections;
  ResetFrameReader(reader, kWriteBatchFrames, OnBadFrame, nullptr);
  Event("accepted a connection from %s:%u", Dotted(from).c_str(), port);
  if (server.dropConnections) EndConnection(false, "dropped at once (drop)");
}

int SendOnConnection(const uint8_t* data, uint32_t size) {
  if (server.conn == kNoSocket) return 0;
  const int sent = NetSend(server.conn, data, size);
  if (sent == int(size)) return 1;
  EndConnection(false, sent < 0 ? "send failed or timed out" : "send went out short");
  return 0;
}

uint32_t UpdateTarget() {
  if (server.clientOverride != 0) return server.clientOverride;
  return server.conn != kNoSocket ? server.connAddress : 0;
}

void ReadConnection() {
  for (uint32_t turn = 0; turn < kMaxReadsPerTurn && server.conn != kNoSocket; ++turn) {
    if (NetWaitReadable(server.conn, 0) != 1) return;
    uint32_t room = 0;
    uint8_t* space = FrameReaderSpace(reader, &room);
    // One frame at a time, so that each batch has the receive stamp of its own
    // packet even when several wait in the socket.
    const uint32_t wanted = FrameReaderWanted(reader);
    const int n = ReceiveStamped(server.conn, space, wanted < room ? wanted : room, &server.receivedNs);
    if (n <= 0) return EndConnection(false, n == 0 ? "the client closed it" : "receive failed");
    FrameReaderCommit(reader, uint32_t(n));
    Frame f;
    while (NextFrame(reader, &f) == NextFrameResult::kFrame) TakeFrame(f);
  }
}
