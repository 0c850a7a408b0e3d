// For the gateway's tests: a fake host at the link seam (a write-batch sender
// that records every batch and can say the link is up or down, and a status
// to show), the real image, and a session whose replies and pushes come back
// parsed. Nothing here sleeps: time is the nowMs each call is given.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ipc/image_access.h"
#include "ipc/offset_image.h"
#include "link/net.h"
#include "web/gateway_session.h"

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

struct RecordingSender final : WriteBatchSender {
  bool up = true;
  Outcome reply = Outcome::kDone;
  std::vector<Bytes> batches;

  bool LinkUp() override { return up; }
  Outcome Send(const uint8_t* batch, uint32_t size) override {
    batches.emplace_back(batch, batch + size);
    return reply;
  }
};

struct FakeHost final : GatewayHost {
  LinkStatus status;
  RecordingSender sender;

  LinkStatus Status() override { return status; }
  WriteBatchSender& Writes() override { return sender; }
  uint32_t ThisPcAddress() override { return NetParseAddress("10.0.0.7"); }
};

// The gateway's settings as the sessions see them: its port and write key.
inline GatewaySettings KeyedSettings() {
  GatewaySettings settings;
  settings.key = "5ec7e7";
  return settings;
}

// Sets image bytes as the server would, through update records (no shadow marks).
inline void SetImage(uint32_t offset, const Bytes& values) {
  Bytes records;
  for (size_t i = 0; i < values.size(); ++i) {
    const uint32_t o = offset + uint32_t(i);
    records.insert(records.end(), {uint8_t(o >= 0x10000), 0, uint8_t(o), uint8_t(o >> 8), values[i], 0});
  }
  ApplyUpdateRecords(records.data(), uint32_t(values.size()));
}

inline Bytes Image(uint32_t offset, uint32_t n) {
  Bytes b(n);
  ReadImageBytes(offset, n, b.data());
  return b;
}

inline Bytes PendingMarks(uint32_t offset, uint32_t n) {
  Bytes b(n);
  ReadPendingWrites(offset, n, b.data());
  return b;
}

// Three fields of group "g": a u16, a string of 4 and bytes of 2.
inline constexpr char kDeclareG[] =
    R"({"op":"declare","group":"g","offsets":[{"name":"a","offset":"0x0100","type":"u16"},)"
    R"({"name":"s","offset":"0x0200","type":"string","size":4},{"name":"b","offset":"0x0300","type":"bytes","size":2}]})";

class Gateway : public ::testing::Test {
 protected:
  void SetUp() override {
    InitOffsetImage();
    ResetAccessCounts();
  }

  // The reply to one message, parsed (and checked to be one JSON object with
  // a boolean "ok").
  json Ask(GatewaySession& s, const std::string& message, uint64_t nowMs = 0) {
    std::string reply;
    s.Handle(message, nowMs, &reply);
    json parsed = json::parse(reply);
    EXPECT_TRUE(parsed.is_object() && parsed.contains("ok") && parsed["ok"].is_boolean()) << reply;
    return parsed;
  }
  json Ask(const std::string& message, uint64_t nowMs = 0) { return Ask(session, message, nowMs); }

  // Asks and expects "ok":true.
  json Expect(const std::string& message, uint64_t nowMs = 0) {
    json reply = Ask(message, nowMs);
    EXPECT_EQ(true, reply["ok"]) << message << " -> " << reply.dump();
    return reply;
  }

  std::vector<json> Pushes(uint64_t nowMs) {
    std::vector<std::string> texts;
    session.Poll(nowMs, &texts);
    std::vector<json> parsed;
    for (const std::string& t : texts) parsed.push_back(json::parse(t));
    return parsed;
  }

  FakeHost host;
  GatewaySession session{host, true, KeyedSettings()};
};
