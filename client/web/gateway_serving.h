// Inside the gateway: the state its threads share and the two kinds of
// socket it serves, for gateway.cpp (start, stop, the watch thread) and
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
  std::atomic<uint16_t> port{0};
  std::vector<std::weak_ptr<Connection>> connections;  // the io thread's
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::thread ioThread, watchThread;

  void Accept();
  void CloseAll();
  // seen, link: the image's change count and the link message before the first connection
  void Watch(uint64_t seen, std::string link);
  void HandOut(const std::string& linkMessage);
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

// The monotonic clock the connections' subscriptions run on.
uint64_t GatewayNowMs();
