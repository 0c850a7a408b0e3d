// What the server sends: beacons, data blocks (with the split and coalesce
// faults), update frames and broken frames. It builds every frame in buffers
// of its own; runs on the server's one thread.
#include "sim_streams.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "link/net.h"
#include "sim_command.h"
#include "sim_connection.h"
#include "sim_stamp.h"
#include "sim_state.h"

namespace {

constexpr uint32_t kMaxCoalesce = 16;
constexpr uint32_t kUpdateRecordsPerFrame = kMaxSendPayload / kUpdateRecordSize;
const uint8_t kBeaconPayload[] = "server_sim beacon";

uint8_t frameBuf[kMaxFrameSize];
uint8_t payloadBuf[kMaxSendPayload];
uint8_t coalesceBuf[kMaxCoalesce * kMaxFrameSize];

// A data block through the split and coalesce faults. Returns how many data
// blocks went out: 0 while a coalesced send is still being gathered.
uint32_t SendBlockFrame(const uint8_t* frame, uint32_t length) {
  if (server.coalesceWanted > 0) {
    std::copy(frame, frame + length, coalesceBuf + server.coalesceBytes);
    server.coalesceBytes += length;
    if (++server.coalesceHeld < server.coalesceWanted) return 0;
    const uint32_t held = server.coalesceHeld, bytes = server.coalesceBytes;
    server.coalesceWanted = server.coalesceHeld = server.coalesceBytes = 0;
    if (!SendOnConnection(coalesceBuf, bytes)) return 0;
    ++server.stats.coalesced;
    Event("sent %u data blocks in one send (%u bytes)", held, bytes);
    return held;
  }
  if (server.splitArmed) {
    server.splitArmed = false;
    uint32_t first = server.splitAt != 0 ? server.splitAt : length / 2;
    if (first >= length) first = length - 1;
    if (!SendOnConnection(frame, first)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(server.splitDelayMs));
    if (!SendOnConnection(frame + first, length - first)) return 0;
    ++server.stats.splits;
    Event("sent a data block in two sends (%u + %u bytes, %u ms apart)", first, length - first,
          server.splitDelayMs);
    return 1;
  }
  return SendOnConnection(frame, length);
}

// One update frame for every changed byte (more when they do not fit one);
// the changes are dropped while no client is known.
void SendUpdates() {
  const uint32_t target = UpdateTarget();
  while (image.dirtyCount > 0) {
    const uint32_t records = TakeUpdateRecords(image, server.opt.upperRegion, payloadBuf, kUpdateRecordsPerFrame);
    if (target == 0) continue;
    const uint32_t n =
        BuildFrame(kTypeUpdate, kTagFADE, payloadBuf, records * kUpdateRecordSize, frameBuf, sizeof frameBuf);
    if (server.stamps != nullptr)
      std::fprintf(server.stamps, "update %llu %u\n", static_cast<unsigned long long>(WallClockNs()),
                   FirstCounterValue(image));
    if (NetSendTo(server.udp, frameBuf, n, target, server.opt.updatePort) == int(n)) {
      ++server.stats.updates;
      server.stats.updateRecords += records;
    }
  }
}

}  // namespace

void SendBeacon() {
  const uint32_t n =
      BuildFrame(kTypeBeacon, kTagBeacon, kBeaconPayload, sizeof kBeaconPayload, frameBuf, sizeof frameBuf);
  if (NetSendTo(server.udp, frameBuf, n, server.group, kBeaconPort) == int(n)) ++server.stats.beacons;
}

void SendBlockRound() {
  for (uint32_t type = kTypeFirstBlock; type <= kTypeLastBlock && server.conn != kNoSocket; ++type) {
    if ((server.opt.blockTypes >> type & 1) == 0) continue;
    const uint32_t tag = server.blockTag != 0 ? server.blockTag : kBlockTags[server.tagTurn++ % 3];
    CopyBlockPayload(image, type, payloadBuf);
    const uint32_t n = BuildFrame(type, tag, payloadBuf, kDataBlockSize, frameBuf, sizeof frameBuf);
    server.stats.blocks += SendBlockFrame(frameBuf, n);
  }
}

void Tick() {
  static const auto started = std::chrono::steady_clock::now();
  StepCounters(image);
  StepWaves(image, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if ((server.paused & kStreamUpdates) == 0 && server.updateHz > 0) SendUpdates();
}

void SendBadFrame(Transport t, BadKind kind) {
  const uint32_t n = BuildBadFrame(t, kind, frameBuf);
  int ok = 0;
  switch (t) {
    case Transport::kTcp:
      if (server.conn == kNoSocket) return Problem("bad tcp: there is no connection");
      ok = SendOnConnection(frameBuf, n);
      break;
    case Transport::kUnicast:
      if (UpdateTarget() == 0) return Problem("bad unicast: no client known (connect one or give --client)");
      ok = NetSendTo(server.udp, frameBuf, n, UpdateTarget(), server.opt.updatePort) == int(n);
      break;
    case Transport::kMulticast:
      ok = NetSendTo(server.udp, frameBuf, n, server.group, kBeaconPort) == int(n);
      break;
  }
  if (ok) ++server.stats.badSent;
  Event("sent a broken frame (%u bytes): %s", n, ok ? "ok" : "failed");
}
