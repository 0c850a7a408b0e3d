// The gateway: the image on the network. An HTTP server on every adapter
// whose WebSocket at /ws speaks the JSON protocol of GatewaySession, on a
// thread of its own that runs every connection (Asio) and looks at the link's
// state. The image's changes reach that thread by a hook that posts to it,
// set only while a client wants each change. Nothing on the link's or the
// add-ons' paths ever waits for a web client: a client that does not read is
// closed once its queue is full.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "web/gateway_session.h"
#include "web/gateway_settings.h"

class Gateway {
 public:
  explicit Gateway(GatewayHost& host);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Listens on every adapter at settings.port and starts the threads. Done,
  // or kFailed with the reason (the port is in use, say); nothing runs then.
  Status Start(const GatewaySettings& settings);

  // Closes every connection and ends the threads; at once, whatever the
  // clients do. Later calls do nothing.
  void Stop();

  // Web clients connected now (any thread).
  int ClientCount() const;

  // The port listened on (0 before Start or when it failed).
  uint16_t Port() const;

  // The serving side's state (gateway_serving.h), named here for the
  // connections it serves.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
