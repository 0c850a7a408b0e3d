// The gateway's operations, one table of name and handler (adding an
// operation is adding a row). Every handler checks the whole request before
// it changes anything, and says how it went as a WebStatus, which Handle
// maps to the reply once. The library's exceptions are caught here, at the
// calls that can raise them, and never leave Handle.
#include "web/gateway_session.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "web/status_json.h"
#include "web/web_limits.h"

struct GatewaySession::Op {
  const char* name;
  WebStatus (GatewaySession::*handle)(const Json& request, uint64_t nowMs, Json* reply);
};

const GatewaySession::Op GatewaySession::kOps[] = {
    {"declare", &GatewaySession::Declare},
    {"read", &GatewaySession::Read},
    {"subscribe", &GatewaySession::Subscribe},
    {"stop", &GatewaySession::Stop},
    {"write", &GatewaySession::Write},
    {"status", &GatewaySession::ShowStatus},
};

namespace {

// The message as a JSON value, or bad_json; no more than kMaxMessageBytes,
// and no deeper than kMaxJsonDepth (the library's copies and prints recurse).
WebStatus ParseMessage(std::string_view message, Json* request) {
  if (message.size() > kMaxMessageBytes)
    return WebStatus::Failure(WebError::kLimit, "a message holds at most %u bytes", unsigned(kMaxMessageBytes));
  bool tooDeep = false;
  const Json::parser_callback_t depthCheck = [&tooDeep](int depth, Json::parse_event_t, Json&) {
    if (depth > kMaxJsonDepth) tooDeep = true;
    return true;
  };
  try {
    *request = Json::parse(message, depthCheck);
  } catch (const Json::exception& e) {  // a syntax error, or a number beyond a double
    return WebStatus::Failure(WebError::kBadJson, "%s", e.what());
  }
  if (tooDeep) {
    *request = Json();
    return WebStatus::Failure(WebError::kLimit, "arrays and objects nest at most %d deep", kMaxJsonDepth);
  }
  return WebStatus();
}

Json ErrorReply(const WebStatus& status) {
  Json reply = Json::object();
  reply["ok"] = false;
  reply["error"] = WebErrorCode(status.error());
  reply["message"] = status.text();
  return reply;
}

// The reply when even the reply could not be made.
constexpr char kNoMemoryReply[] = R"({"ok":false,"error":"limit","message":"out of memory"})";

}  // namespace

void GatewaySession::Handle(std::string_view message, uint64_t nowMs, std::string* reply) {
  try {
    Json request;
    WebStatus status = ParseMessage(message, &request);
    Json answer = Json::object();
    answer["ok"] = true;
    if (status.ok()) status = Answer(request, nowMs, &answer);
    if (!status.ok()) answer = ErrorReply(status);
    if (request.is_object()) {
      const auto id = request.find("id");
      if (id != request.end()) answer["id"] = *id;
    }
    *reply = PrintMessage(answer);
  } catch (const std::exception&) {  // no memory for the reply: nothing else is left to throw
    *reply = kNoMemoryReply;
  }
}

WebStatus GatewaySession::Answer(const Json& request, uint64_t nowMs, Json* reply) {
  if (!request.is_object()) return WebStatus::Failure(WebError::kBadRequest, "a message is one JSON object");
  const auto op = request.find("op");
  if (op == request.end() || !op->is_string())
    return WebStatus::Failure(WebError::kBadRequest, "\"op\" must be the name of an operation");
  const std::string& name = op->get_ref<const std::string&>();
  for (const Op& row : kOps) {
    if (name != row.name) continue;
    try {
      return (this->*row.handle)(request, nowMs, reply);
    } catch (const Json::exception& e) {  // a member of a kind no check foresaw
      return WebStatus::Failure(WebError::kBadRequest, "%s", e.what());
    }
  }
  return WebStatus::Failure(WebError::kUnknownOp, "no operation \"%.40s\"", name.c_str());
}

WebStatus GatewaySession::FindGroup(const Json& request, WebGroup** group) {
  const std::string* name = nullptr;
  const WebStatus status = RequiredName(request, "group", &name);
  if (!status.ok()) return status;
  for (WebGroup& g : groups_) {
    if (g.name == *name) {
      *group = &g;
      return WebStatus();
    }
  }
  return WebStatus::Failure(WebError::kUnknownGroup, "no group \"%s\" was declared", name->c_str());
}

// Declaring a group again replaces its fields; a subscription to it goes on
// with the new fields, starting again with a push of every value.
WebStatus GatewaySession::Declare(const Json& request, uint64_t nowMs, Json*) {
  const std::string* name = nullptr;
  WebStatus status = RequiredName(request, "group", &name);
  if (!status.ok()) return status;
  const auto offsets = request.find("offsets");
  if (offsets == request.end()) return WebStatus::Failure(WebError::kBadRequest, "\"offsets\" is missing");
  std::vector<GroupField> fields;
  uint32_t bytes = 0;
  status = ParseGroupFields(*offsets, &fields, &bytes);
  if (!status.ok()) return status;
  WebGroup* group = nullptr;
  if (!FindGroup(request, &group).ok()) {
    if (groups_.size() >= kMaxGroups)
      return WebStatus::Failure(WebError::kLimit, "a session holds at most %u groups", unsigned(kMaxGroups));
    group = &groups_.emplace_back();
    group->name = *name;
  }
  SetGroupFields(*group, std::move(fields), bytes);
  RestartPushes(*group, nowMs);
  return WebStatus();
}

// A front end's read: counted as the window counts an add-on's (the bytes,
// and the request while the link is up).
WebStatus GatewaySession::Read(const Json& request, uint64_t, Json* reply) {
  WebGroup* group = nullptr;
  const WebStatus status = FindGroup(request, &group);
  if (!status.ok()) return status;
  Json values = Json::object();
  group->seen.resize(group->bytes);
  for (const GroupField& f : group->fields) {
    ReadSpan(f.field.offset, f.field.size, group->seen.data() + f.at);
    values[f.name] = DecodeValue(f.field, group->seen.data() + f.at);
  }
  const bool up = EndRequest(WritePlan{}, host_.Writes()) == Outcome::kDone;
  (*reply)["group"] = group->name;
  (*reply)["link"] = up;
  (*reply)["values"] = std::move(values);
  return WebStatus();
}

// Subscribing again sets the new interval and starts again with a push of
// every value.
WebStatus GatewaySession::Subscribe(const Json& request, uint64_t nowMs, Json*) {
  WebGroup* group = nullptr;
  const WebStatus status = FindGroup(request, &group);
  if (!status.ok()) return status;
  const auto interval = request.find("interval");
  if (interval == request.end() || !interval->is_number_integer() || *interval < 0 || *interval > UINT32_MAX)
    return WebStatus::Failure(WebError::kBadRequest, "\"interval\" must be a number of milliseconds");
  const uint32_t ms = interval->get<uint32_t>();
  if (ms != 0 && ms < kShortestIntervalMs) {
    return WebStatus::Failure(WebError::kLimit, "an interval is 0 (each change) or at least %u ms",
                              unsigned(kShortestIntervalMs));
  }
  group->subscribed = true;
  group->intervalMs = ms;
  RestartPushes(*group, nowMs);
  return WebStatus();
}

// Stopping a group that has no subscription is done as well.
WebStatus GatewaySession::Stop(const Json& request, uint64_t, Json*) {
  WebGroup* group = nullptr;
  const WebStatus status = FindGroup(request, &group);
  if (status.ok()) group->subscribed = false;
  return status;
}

WebStatus GatewaySession::Write(const Json& request, uint64_t, Json* reply) {
  if (!mayWrite_) return WebStatus::Failure(WebError::kWriteRefused, "this connection may not write");
  const auto values = request.find("values");
  if (values == request.end()) return WebStatus::Failure(WebError::kBadRequest, "\"values\" is missing");
  WebStatus status;
  if (request.contains("group")) {
    WebGroup* group = nullptr;
    status = FindGroup(request, &group);
    if (status.ok()) status = PlanGroupWrite(*group, *values, &plan_);
  } else {
    status = PlanRawWrite(*values, &plan_);
  }
  if (!status.ok()) return status;
  (*reply)["sent"] = EndRequest(plan_, host_.Writes()) == Outcome::kDone;
  return WebStatus();
}

WebStatus GatewaySession::ShowStatus(const Json&, uint64_t, Json* reply) {
  AddStatusMembers(host_.Status(), reply);
  AddWebMember(host_.ThisPcAddress(), port_, key_, reply);
  return WebStatus();
}

void GatewaySession::Poll(uint64_t nowMs, std::vector<std::string>* pushes) {
  bool asked = false, linkUp = false;
  for (WebGroup& g : groups_) {
    if (!g.subscribed || (g.intervalMs != 0 && nowMs < g.dueMs)) continue;
    if (!asked) linkUp = host_.Writes().LinkUp(), asked = true;
    Json values = Json::object();
    if (CollectChanges(g, linkUp, &values)) {
      Json push = Json::object();
      push["op"] = "values";
      push["group"] = g.name;
      push["link"] = linkUp;
      push["values"] = std::move(values);
      pushes->push_back(PrintMessage(push));
    }
    // The looks fall on a grid of the interval on the monotonic clock: one
    // look per step of the grid. A late look (the PC was busy, a timer that
    // wakes on the system's tick) does not put the next one back, so the
    // pushes keep the rate asked for; a look a whole step late skips the
    // steps it missed instead of catching up in a burst. Sessions that ask
    // for the same interval are due at the same moments, so one wake-up of
    // the serving side serves them all.
    if (g.intervalMs != 0) g.dueMs = (nowMs / g.intervalMs + 1) * g.intervalMs;
  }
}

uint64_t GatewaySession::NextDueMs() const {
  uint64_t due = UINT64_MAX;
  for (const WebGroup& g : groups_) {
    if (!g.subscribed) continue;
    if (g.intervalMs == 0) continue;  // polled at each change of the image
    if (g.dueMs < due) due = g.dueMs;
  }
  return due;
}

bool GatewaySession::PollsAtEachChange() const {
  for (const WebGroup& g : groups_)
    if (g.subscribed && g.intervalMs == 0) return true;
  return false;
}

std::string GatewaySession::LinkMessage(const LinkStatus& status) { return LinkMessageText(status); }
