// A gateway session over arbitrary messages. The first input byte sets
// whether the link is up, what the sender answers and whether the session may
// write; the rest is the session's messages, one per line, handled in order on
// a clock that moves 7 ms a message, with a poll after each. Every reply must
// be one JSON object with a boolean "ok"; a reply with "ok":false must leave
// the image as it was and send nothing; every push must be a "values" object.
// The image starts afresh for each input. (The write shadow of a refused
// write is the unit tests' to check: a per-byte copy of it would slow every
// message here a hundredfold.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/offset_image.h"
#include "link/net.h"
#include "web/gateway_session.h"

namespace {

struct FuzzHost final : GatewayHost, WriteBatchSender {
  bool up = false;
  Outcome reply = Outcome::kDone;
  int sends = 0;

  LinkStatus Status() override { return LinkStatus(); }
  WriteBatchSender& Writes() override { return *this; }
  uint32_t ThisPcAddress() override { return NetParseAddress("127.0.0.1"); }
  bool LinkUp() override { return up; }
  Outcome Send(const uint8_t*, uint32_t) override {
    ++sends;
    return reply;
  }
} host;

uint8_t imageBefore[kImageSize], imageAfter[kImageSize];

void Check(bool holds) {
  if (!holds) std::abort();
}

void CheckPushes(const std::vector<std::string>& pushes) {
  for (const std::string& text : pushes) {
    const nlohmann::json push = nlohmann::json::parse(text, nullptr, false);
    Check(push.is_object() && push.value("op", "") == "values" && push.contains("values") &&
          push.at("values").is_object() && push.contains("link") && push.at("link").is_boolean());
  }
}

void HandleOne(GatewaySession& session, std::string_view message, uint64_t nowMs) {
  ReadImageBytes(0, kImageSize, imageBefore);
  const int sendsBefore = host.sends;
  std::string reply;
  session.Handle(message, nowMs, &reply);
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
  Check(parsed.is_object() && parsed.contains("ok") && parsed.at("ok").is_boolean());
  if (parsed.at("ok") == false) {
    ReadImageBytes(0, kImageSize, imageAfter);
    Check(std::memcmp(imageBefore, imageAfter, kImageSize) == 0);
    Check(host.sends == sendsBefore);
    Check(parsed.contains("error") && parsed.at("error").is_string() && parsed.contains("message") &&
          parsed.at("message").is_string());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  host.up = control & 1;
  constexpr Outcome kReplies[] = {Outcome::kDone, Outcome::kSentShort, Outcome::kNoLink, Outcome::kDone};
  host.reply = kReplies[control >> 1 & 3];
  InitOffsetImage();
  GatewaySession session(host, (control & 8) == 0, GatewaySettings());

  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  uint64_t nowMs = 1000;
  std::vector<std::string> pushes;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    HandleOne(session, rest.substr(0, end), nowMs);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    nowMs += 7;
    pushes.clear();
    if (session.NextDueMs() <= nowMs) session.Poll(nowMs, &pushes);
    CheckPushes(pushes);
  }
  return 0;
}
