// Inside the gateway: the state its threads share and the two kinds of
// socket it serves, for gateway.cpp (start, stop, the tick, the link) and
// gateway_connection.cpp (HTTP requests and WebSocket connections). Beast and
// Asio stay in these two files.
#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "web/gateway.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

class Connection;

struct Gateway::Impl {
  explicit Impl(GatewayHost& h) : host(h) {}

  GatewayHost& host;
  GatewaySettings settings;
  std::atomic<int> clients{0};  // outlives the io_context: its handlers' connections count down
  std::atomic<bool> running{false};
  std::atomic<bool> changePosted{false};  // a change is posted and not yet handed out
  int eachChange = 0;  // connections with a subscription of interval 0 (io thread)
  std::atomic<uint16_t> port{0};
  std::vector<std::weak_ptr<Connection>> connections;  // the io thread's
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  // The one timer of every connection's timed pushes, and when it is set for
  // (UINT64_MAX: not set); the io thread's.
  net::steady_timer tick{ioc};
  uint64_t tickAt = UINT64_MAX;
  // The link's state as the connections were last told it, and the timer of
  // the next look at it; the io thread's (Start sets it before that runs).
  std::string link;
  net::steady_timer linkTimer{ioc};
  std::thread ioThread;

  void Accept();
  void CloseAll();
  void LookAtLink();
  // fn(connection) for each connection still there; the others are let go.
  template <class Fn>
  void EachConnection(Fn fn) {
    size_t kept = 0;
    for (auto& weak : connections)
      if (auto connection = weak.lock()) {
        fn(*connection);
        connections[kept++] = weak;
      }
    connections.resize(kept);
  }
  void HandOut(const std::string& linkMessage);
  // A connection comes to want each change of the image, or no longer does:
  // the image's change hook is set while one does (io thread).
  void WantEachChange(bool wanted);
  // Sets the tick for dueMs unless it is set for earlier already (io thread).
  void ScheduleTick(uint64_t dueMs);
  // The tick: every connection due pushes, then the tick is set for the next.
  void Tick();
  void Run();
};

// Serves one accepted socket: its HTTP request, and the WebSocket connection
// it asks for (io thread).
void ServeSocket(tcp::socket&& socket, Gateway::Impl& gateway);

// What the gateway does to a connection (io thread): hand it a change of the
// image or of the link (linkMessage "" when the link did not change), or
// close it.
void HandChange(Connection& connection, const std::string& linkMessage);
void CloseConnection(Connection& connection);

// What the tick does to a connection (io thread): the pushes due at nowMs;
// returns when its next push is due (UINT64_MAX: none by time).
uint64_t PushDue(Connection& connection, uint64_t nowMs);

// The monotonic clock the connections' subscriptions run on.
uint64_t GatewayNowMs();
