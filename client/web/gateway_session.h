// One web client's session with the gateway: it takes the client's messages
// (one JSON object each) and gives each one reply, and it gives the pushes of
// the client's subscriptions when polled. It holds the client's groups and
// nothing of a socket: the serving side owns the connection, calls one
// session from one thread at a time (different sessions may run on
// different threads at once) and sends what it is given in order. Time is an
// argument, the monotonic milliseconds, so tests drive it. The protocol is
// in docs/web.md.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/image_access.h"
#include "link/link_status.h"
#include "web/gateway_settings.h"
#include "web/web_group.h"
#include "web/web_status.h"
#include "web/web_values.h"
#include "web/web_write.h"

// What a session needs of the client; the shell gives the Link's, tests a
// fake. Both calls may come from any session's thread.
class GatewayHost {
 public:
  // The status last published, as the status window shows it.
  virtual LinkStatus Status() = 0;
  // Where writes go, and whether the link is up now.
  virtual WriteBatchSender& Writes() = 0;
  // The address (network byte order) a tablet reaches this PC at now.
  virtual uint32_t ThisPcAddress() = 0;

 protected:
  ~GatewayHost() = default;
};

class GatewaySession {
 public:
  // mayWrite false: every write is answered "write_refused". The status
  // reply gives the gateway's address (settings' port) and, to a session
  // that may write, its key; a session that may not never holds the key.
  GatewaySession(GatewayHost& host, bool mayWrite, const GatewaySettings& settings)
      : host_(host), mayWrite_(mayWrite), port_(settings.port), key_(mayWrite ? settings.key : std::string()) {}
  GatewaySession(const GatewaySession&) = delete;
  GatewaySession& operator=(const GatewaySession&) = delete;

  // One message from the client; its reply (one JSON text) into *reply.
  // Never throws: a message that breaks a rule gets an error reply and
  // changes nothing, neither in the image nor in the session.
  void Handle(std::string_view message, uint64_t nowMs, std::string* reply);

  // The pushes due at nowMs, appended to *pushes (each one JSON text).
  void Poll(uint64_t nowMs, std::vector<std::string>* pushes);

  // When time next makes a push due: the earliest of the subscriptions with
  // an interval, UINT64_MAX with none. Subscriptions of interval 0 are due
  // whenever the image may have changed: the serving side polls at each
  // change for them.
  uint64_t NextDueMs() const;

  // Whether a subscription of interval 0 wants a poll at each change.
  bool PollsAtEachChange() const;

  // The "link" message for the status given (at a connection's start, and
  // whenever the link comes up or goes down).
  static std::string LinkMessage(const LinkStatus& status);

 private:
  struct Op;
  static const Op kOps[];

  WebStatus Answer(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus Declare(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus Read(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus Subscribe(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus Stop(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus Write(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus ShowStatus(const Json& request, uint64_t nowMs, Json* reply);
  WebStatus FindGroup(const Json& request, WebGroup** group);

  GatewayHost& host_;
  const bool mayWrite_;
  const uint16_t port_;
  const std::string key_;  // "" for a session that may not write
  std::vector<WebGroup> groups_;  // at most kMaxGroups
  WritePlan plan_;                // the write being checked; its storage is kept
};
