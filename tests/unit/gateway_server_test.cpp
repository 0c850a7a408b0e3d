// The gateway's serving side over real loopback sockets, with a Beast client:
// the WebSocket at /ws and its first message, the Host and Origin rules, the
// pages and their Host rule, an image change pushed to a subscriber, timed
// pushes to several clients, the link's changes, the bound on connections, a client that never reads, and a stop that ends
// every connection at once.
#include "web/gateway.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ipc/offset_image.h"
#include "link/net.h"
#include "web/web_limits.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using nlohmann::json;

struct UpSender final : WriteBatchSender {
  bool LinkUp() override { return true; }
  Outcome Send(const uint8_t*, uint32_t) override { return Outcome::kDone; }
};

struct Host final : GatewayHost {
  std::mutex lock;
  LinkStatus status;
  UpSender sender;
  LinkStatus Status() override {
    std::lock_guard<std::mutex> hold(lock);
    return status;
  }
  WriteBatchSender& Writes() override { return sender; }
  uint32_t ThisPcAddress() override { return NetParseAddress("127.0.0.1"); }  // 127.0.0.1
};

// One image byte set as the server sets it (an update record).
void SetByte(uint32_t offset, uint8_t value) {
  const uint8_t record[kUpdateRecordSize] = {uint8_t(offset >= 0x10000), 0, uint8_t(offset), uint8_t(offset >> 8),
                                             value, 0};
  ApplyUpdateRecords(record, 1);
}

template <class Done>
bool WaitFor(Done done, int seconds = 10) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class GatewayServer : public ::testing::Test {
 protected:
  void SetUp() override {
    InitOffsetImage();
    // A free port of this host's: the first of a few that the gateway could take.
    for (uint16_t port = 28765; port < 28865 && !started_; ++port) {
      settings_.port = port;
      started_ = gateway_.Start(settings_).ok();
    }
    ASSERT_TRUE(started_);
  }
  void TearDown() override { gateway_.Stop(); }

  std::string HostHeader() const { return "127.0.0.1:" + std::to_string(settings_.port); }

  // A WebSocket to /ws with the headers given; *status gets the HTTP status
  // of a refused upgrade (101 when it was taken).
  std::unique_ptr<websocket::stream<tcp::socket>> Open(const std::string& host, const std::string& origin,
                                                       unsigned* status) {
    auto ws = std::make_unique<websocket::stream<tcp::socket>>(io_);
    ws->next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), settings_.port));
    ws->set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    websocket::response_type response;
    beast::error_code ec;
    ws->handshake(response, host, "/ws", ec);
    *status = response.result_int();
    return ws;
  }

  // One plain HTTP request, and the whole response (the gateway closes after
  // it); *after gets the count of bytes that followed the response.
  http::response<http::string_body> Fetch(http::verb method, const std::string& target, const std::string& host,
                                          size_t* after = nullptr) {
    tcp::socket socket(io_);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), settings_.port));
    http::request<http::string_body> request(method, target, 11);
    request.set(http::field::host, host);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.skip(method == http::verb::head);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    std::string rest;
    net::read(socket, net::dynamic_buffer(rest), ec);  // to the gateway's close
    if (after != nullptr) *after = buffer.size() + rest.size();
    return parser.release();
  }

  json Next(websocket::stream<tcp::socket>& ws) {
    beast::flat_buffer buffer;
    ws.read(buffer);
    return json::parse(beast::buffers_to_string(buffer.data()));
  }

  json Ask(websocket::stream<tcp::socket>& ws, const json& message) {
    ws.write(net::buffer(message.dump()));
    return Next(ws);
  }

  net::io_context io_;
  Host host_;
  Gateway gateway_{host_};
  GatewaySettings settings_;
  bool started_ = false;
};

TEST_F(GatewayServer, AWebSocketGetsTheLinkFirstAndAnswers) {
  unsigned status = 0;
  auto ws = Open(HostHeader(), "", &status);
  ASSERT_EQ(101u, status);
  EXPECT_EQ("link", Next(*ws)["op"]);
  EXPECT_TRUE(WaitFor([&] { return gateway_.ClientCount() == 1; }));
  const json declared = Ask(*ws, {{"op", "declare"}, {"group", "g"}, {"offsets", {{{"name", "a"}, {"offset", 0x100}, {"type", "u8"}}}}});
  EXPECT_EQ(json({{"ok", true}}), declared);
  SetByte(0x100, 0x42);
  EXPECT_EQ(0x42, Ask(*ws, {{"op", "read"}, {"group", "g"}})["values"]["a"]);
}

TEST_F(GatewayServer, HostAndOriginDecideTheUpgrade) {
  const std::string own = "http://" + HostHeader();
  const struct {
    const char* name;
    std::string host, origin;
    unsigned status;
  } cases[] = {
      {"no origin (not a browser)", HostHeader(), "", 101},
      {"the gateway's own pages", HostHeader(), own, 101},
      {"localhost", "localhost:" + std::to_string(settings_.port), "", 101},
      {"another site's page", HostHeader(), "http://evil.example", 403},
      {"origin null", HostHeader(), "null", 403},
      {"a name this PC does not have", "evil.example:" + std::to_string(settings_.port), "", 403},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned status = 0;
    Open(c.host, c.origin, &status);
    EXPECT_EQ(c.status, status);
  }
}

TEST_F(GatewayServer, AChangeOfTheImageIsPushedToASubscriber) {
  unsigned status = 0;
  auto ws = Open(HostHeader(), "", &status);
  ASSERT_EQ(101u, status);
  Next(*ws);
  Ask(*ws, {{"op", "declare"}, {"group", "g"}, {"offsets", {{{"name", "a"}, {"offset", 0x200}, {"type", "u8"}}}}});
  EXPECT_EQ(json({{"ok", true}}), Ask(*ws, {{"op", "subscribe"}, {"group", "g"}, {"interval", 0}}));
  EXPECT_EQ(0, Next(*ws)["values"]["a"]);  // the first push holds every value
  SetByte(0x200, 7);
  const json pushed = Next(*ws);
  EXPECT_EQ("values", pushed["op"]);
  EXPECT_EQ(7, pushed["values"]["a"]);
}

// Timed subscriptions of several clients come from the gateway's one tick:
// each client gets its own pushes, and one that leaves takes nothing from the
// others.
TEST_F(GatewayServer, TimedPushesReachEveryClientAndOutliveOneThatLeaves) {
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
  for (int i = 0; i < 3; ++i) {
    unsigned status = 0;
    clients.push_back(Open(HostHeader(), "", &status));
    ASSERT_EQ(101u, status);
    Next(*clients.back());
    Ask(*clients.back(),
        {{"op", "declare"}, {"group", "g"}, {"offsets", {{{"name", "a"}, {"offset", 0x210}, {"type", "u8"}}}}});
    ASSERT_EQ(json({{"ok", true}}), Ask(*clients.back(), {{"op", "subscribe"}, {"group", "g"}, {"interval", 20 + 10 * i}}));
    EXPECT_EQ(0, Next(*clients.back())["values"]["a"]);
  }
  SetByte(0x210, 5);
  for (auto& ws : clients) EXPECT_EQ(5, Next(*ws)["values"]["a"]);
  clients[1]->close(websocket::close_code::normal);
  clients.erase(clients.begin() + 1);
  SetByte(0x210, 6);
  for (auto& ws : clients) EXPECT_EQ(6, Next(*ws)["values"]["a"]);
}

// Without a subscription of interval 0 the watch does not wait for the
// image's changes, yet the link's changes still reach every connection.
TEST_F(GatewayServer, TheLinkIsToldWithoutSubscriptions) {
  unsigned status = 0;
  auto ws = Open(HostHeader(), "", &status);
  ASSERT_EQ(101u, status);
  EXPECT_EQ(false, Next(*ws)["up"]);
  SetByte(0x220, 1);  // changes that wake nobody
  {
    std::lock_guard<std::mutex> hold(host_.lock);
    host_.status.state = kUdpTcpConnected;
  }
  const json told = Next(*ws);
  EXPECT_EQ("link", told["op"]);
  EXPECT_EQ(true, told["up"]);
}

TEST_F(GatewayServer, TheConnectionAfterTheLastAllowedIsRefused) {
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> open;
  for (int i = 0; i < kMaxWebClients; ++i) {
    unsigned status = 0;
    open.push_back(Open(HostHeader(), "", &status));
    ASSERT_EQ(101u, status) << i;
    Next(*open.back());  // taken: counted
  }
  unsigned status = 0;
  Open(HostHeader(), "", &status);
  EXPECT_EQ(503u, status);
}

TEST_F(GatewayServer, AClientThatDoesNotReadIsClosedAndTheOthersGoOn) {
  unsigned status = 0;
  auto deaf = Open(HostHeader(), "", &status);
  ASSERT_EQ(101u, status);
  auto other = Open(HostHeader(), "", &status);
  ASSERT_EQ(101u, status);
  Next(*other);
  json big = {{"op", "declare"}, {"group", "big"}, {"offsets", json::array()}};
  for (int i = 0; i < 4; ++i) big["offsets"].push_back({{"name", "b" + std::to_string(i)}, {"offset", 4096 * i}, {"type", "bytes"}, {"size", 4096}});
  deaf->write(net::buffer(big.dump()));
  // Replies of some 60 KB each, never read: the socket's buffers fill, then
  // the gateway's queue, and the gateway lets the client go.
  const std::string read = json({{"op", "read"}, {"group", "big"}}).dump();
  beast::error_code ec;
  for (int i = 0; i < 2000 && !ec; ++i) deaf->write(net::buffer(read), ec);
  EXPECT_TRUE(WaitFor([&] { return gateway_.ClientCount() == 1; }, 30)) << gateway_.ClientCount();
  EXPECT_EQ("ok", Ask(*other, {{"op", "status"}})["ok"] == true ? "ok" : "not ok");
}

TEST_F(GatewayServer, StopEndsEveryConnectionAtOnce) {
  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> open;
  for (int i = 0; i < 20; ++i) {
    unsigned status = 0;
    open.push_back(Open(HostHeader(), "", &status));
    ASSERT_EQ(101u, status);
    Next(*open.back());
  }
  gateway_.Stop();
  EXPECT_EQ(0, gateway_.ClientCount());
  for (auto& ws : open) {
    beast::flat_buffer buffer;
    beast::error_code ec;
    ws->read(buffer, ec);  // the end of the connection, not a wait
    EXPECT_TRUE(ec);
  }
}

}  // namespace

TEST_F(GatewayServer, PagesForThisPcsNamesOnly) {
  const struct {
    const char* name;
    http::verb method;
    std::string target, host;
    unsigned status;
    const char* type;  // of a page served
  } cases[] = {
      {"the root is the index", http::verb::get, "/", HostHeader(), 200, "text/html; charset=utf-8"},
      {"the key is no part of the path", http::verb::get, "/?key=abc", "localhost", 200, "text/html; charset=utf-8"},
      {"the module", http::verb::get, "/kestrovaline.js", HostHeader(), 200, "text/javascript; charset=utf-8"},
      {"head", http::verb::head, "/index.html", HostHeader(), 200, "text/html; charset=utf-8"},
      {"head of no such page", http::verb::head, "/nothing.html", HostHeader(), 404, nullptr},
      {"a foreign name (DNS rebinding)", http::verb::get, "/", "evil.example", 403, nullptr},
      {"no such page", http::verb::get, "/nothing.html", HostHeader(), 404, nullptr},
      {"out of the folder", http::verb::get, "/%2e%2e/Kestrovaline.key", HostHeader(), 404, nullptr},
      {"a post", http::verb::post, "/index.html", HostHeader(), 405, nullptr},
      {"the websocket's path without an upgrade", http::verb::get, "/ws", HostHeader(), 404, nullptr},
  };
  const auto index = Fetch(http::verb::get, "/", HostHeader());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t after = 0;
    const auto response = Fetch(c.method, c.target, c.host, &after);
    EXPECT_EQ(c.status, response.result_int());
    EXPECT_EQ(0u, after) << "nothing after the response (and no body after HEAD's header)";
    EXPECT_EQ("nosniff", response["X-Content-Type-Options"]);
    if (c.type == nullptr) continue;
    EXPECT_EQ(c.type, response[http::field::content_type]);
    EXPECT_EQ("no-cache", response[http::field::cache_control]);
    if (c.method == http::verb::head) {
      EXPECT_EQ(std::to_string(index.body().size()), response[http::field::content_length]);
    } else {
      EXPECT_NE(std::string::npos, response.body().find("Kestrovaline")) << response.body().substr(0, 200);
    }
  }
}
