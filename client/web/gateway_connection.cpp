// The gateway's sockets: an HTTP request for a page or for a WebSocket, and
// the WebSocket connections. Every function here runs on the io thread.
// Each connection owns its GatewaySession, a queue of messages to send
// (bounded: a client that does not read is closed); the gateway's one tick
// brings every connection's timed pushes.
#include <chrono>
#include <cstring>
#include <deque>

#include "base/timestamp.h"
#include "link/net.h"
#include "web/gateway_serving.h"
#include "web/page_path.h"
#include "web/page_store.h"
#include "web/web_access.h"
#include "web/web_limits.h"

namespace {

constexpr auto kHttpTimeLimit = std::chrono::seconds(10);  // a whole HTTP request, from its first byte
constexpr size_t kHeaderLimit = 8 * 1024;


uint32_t NetworkOrder(const net::ip::address_v4& address) {
  const auto bytes = address.to_bytes();
  uint32_t value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// This PC's addresses and name, asked anew for each upgrade (adapters come
// and go while the client runs).
ThisPc LookAtThisPc() {
  ThisPc pc;
  uint32_t addresses[32];
  const int count = NetLocalAddresses(addresses, 32);
  pc.addresses.assign(addresses, addresses + (count > 0 ? count : 0));
  beast::error_code ec;
  pc.hostName = net::ip::host_name(ec);
  return pc;
}

}  // namespace

uint64_t GatewayNowMs() { return MonotonicMs(); }

// One WebSocket client.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket&& socket, Gateway::Impl& gateway, bool mayWrite)
      : ws_(std::move(socket)),
        gateway_(gateway),
        session_(gateway.host, mayWrite, gateway.settings) {}

  ~Connection() {
    Uncount();
    CountEachChange(false);
  }

  void Run(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kMaxMessageBytes);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->Accepted(ec); });
  }

  // A change of the image or of the link (io thread).
  void Changed(const std::string& linkMessage) {
    if (!open_) return;
    if (!linkMessage.empty()) Send(linkMessage);
    Poll();
  }

  // The gateway's tick: the pushes due at nowMs; when the next one is due.
  uint64_t PushDue(uint64_t nowMs) {
    if (!open_) return UINT64_MAX;
    if (session_.NextDueMs() <= nowMs) Push(nowMs);
    return session_.NextDueMs();
  }

 private:
  void Accepted(beast::error_code ec) {
    if (ec) return;
    open_ = true;
    counted_ = true;
    gateway_.clients.fetch_add(1);
    gateway_.connections.push_back(weak_from_this());
    Send(GatewaySession::LinkMessage(gateway_.host.Status()));
    Read();
  }

  void Read() {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) { self->Took(ec); });
  }

  void Took(beast::error_code ec) {
    if (ec) {
      Close();
      return;
    }
    const auto data = in_.cdata();
    std::string reply;
    session_.Handle(std::string_view(static_cast<const char*>(data.data()), data.size()), GatewayNowMs(), &reply);
    in_.consume(in_.size());
    Send(std::move(reply));
    Poll();
    if (open_) Read();
  }

  // The pushes due now, and the gateway's tick set for the next one that
  // time brings (changes come through Changed).
  void Poll() {
    Push(GatewayNowMs());
    if (open_) gateway_.ScheduleTick(session_.NextDueMs());
  }

  void Push(uint64_t nowMs) {
    pushes_.clear();
    session_.Poll(nowMs, &pushes_);
    for (std::string& push : pushes_) Send(std::move(push));
    CountEachChange(open_ && session_.PollsAtEachChange());
  }

  // Whether this connection wants each change of the image (the gateway sets
  // the image's change hook while one does).
  void CountEachChange(bool wanted) {
    if (wanted == eachChange_) return;
    eachChange_ = wanted;
    gateway_.WantEachChange(wanted);
  }

  // Queues a message; a client whose queue is full is not reading: it is closed.
  void Send(std::string message) {
    if (!open_) return;
    if (queuedBytes_ + message.size() > kQueueBytes) {
      Close();
      return;
    }
    queuedBytes_ += message.size();
    queue_.push_back(std::move(message));
    if (!writing_) WriteNext();
  }

  void WriteNext() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->Wrote(ec);
    });
  }

  void Wrote(beast::error_code ec) {
    if (ec) {
      Close();
      return;
    }
    queuedBytes_ -= queue_.front().size();
    queue_.pop_front();
    if (queue_.empty())
      writing_ = false;
    else
      WriteNext();
  }

  // Ends the connection at once: the socket closes, every pending operation
  // ends with an error, and the last handler lets the connection go.
 public:
  void Close() {
    if (!open_ && closed_) return;
    open_ = false;
    closed_ = true;
    Uncount();
    CountEachChange(false);
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  // A closed connection no longer counts, whenever its last handler lets it go.
  void Uncount() {
    if (counted_) gateway_.clients.fetch_sub(1);
    counted_ = false;
  }

  websocket::stream<beast::tcp_stream> ws_;
  Gateway::Impl& gateway_;
  GatewaySession session_;
  beast::flat_buffer in_;
  std::deque<std::string> queue_;
  std::vector<std::string> pushes_;
  size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool eachChange_ = false;  // counted in the gateway's eachChange
  bool open_ = false;
  bool closed_ = false;
  bool counted_ = false;
};

// One HTTP request: a WebSocket upgrade at /ws, or a page.
class HttpRequest : public std::enable_shared_from_this<HttpRequest> {
 public:
  HttpRequest(tcp::socket&& socket, Gateway::Impl& gateway) : stream_(std::move(socket)), gateway_(gateway) {}

  void Run() {
    parser_.header_limit(kHeaderLimit);
    parser_.body_limit(kMaxMessageBytes);
    stream_.expires_after(kHttpTimeLimit);
    http::async_read(stream_, buffer_, parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->Took(ec); });
  }

 private:
  using Response = http::response<http::string_body>;

  void Took(beast::error_code ec) {
    if (ec) return;  // timed out, closed, or too large: the socket goes with us
    http::request<http::string_body> request = parser_.release();
    const RequestTarget target = SplitTarget(std::string_view(request.target().data(), request.target().size()));
    const std::string host(request[http::field::host]);
    const ThisPc pc = LookAtThisPc();
    // A page, too, only for a name of this PC's: a foreign name pointed here
    // would let that site's scripts read the pages and what they show.
    if (!HostAllowed(host, pc)) return Answer(request, http::status::forbidden, "Host not allowed\n");
    if (!websocket::is_upgrade(request)) return AnswerPage(request, target.path);
    if (target.path != "/ws") return Answer(request, http::status::not_found, "Not found\n");
    const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    const std::string origin(request[http::field::origin]);
    const bool hasOrigin = request.find(http::field::origin) != request.end();
    if (hasOrigin && !OriginAllowed(origin, host, gateway_.settings.origins))
      return Answer(request, http::status::forbidden, "Origin not allowed\n");
    if (gateway_.clients.load() >= kMaxWebClients)
      return Answer(request, http::status::service_unavailable, "Too many web clients\n");
    const bool fromThisPc = !ec && peer.address().is_v4() && IsThisPc(NetworkOrder(peer.address().to_v4()), pc);
    const bool mayWrite = fromThisPc || KeyMatches(target.key, gateway_.settings.key);
    stream_.expires_never();  // the WebSocket's own time limits from here on
    std::make_shared<Connection>(stream_.release_socket(), gateway_, mayWrite)->Run(std::move(request));
  }

  void AnswerPage(const http::request<http::string_body>& request, std::string_view path) {
    const std::string_view method(request.method_string().data(), request.method_string().size());
    const PageRequest page = ResolvePage(method, path);
    if (page.verdict == PageVerdict::kBadMethod) {
      auto response = Plain(request, http::status::method_not_allowed, "Only GET and HEAD\n");
      response->set(http::field::allow, "GET, HEAD");
      return Write(response);
    }
    std::string body;
    const PageFound found =
        page.verdict == PageVerdict::kServe ? FindPage(gateway_.settings.pagesFolder, page.path, &body) : PageFound::kMissing;
    if (found == PageFound::kTooLarge) return Answer(request, http::status::not_found, "Page too large\n");
    if (found != PageFound::kFound) return Answer(request, http::status::not_found, "Not found\n");
    auto response = std::make_shared<Response>(http::status::ok, request.version());
    response->set(http::field::content_type, PageContentType(page.path));
    response->set(http::field::cache_control, "no-cache");
    response->set("X-Content-Type-Options", "nosniff");
    response->keep_alive(false);
    SetBody(request, *response, std::move(body));
    Write(response);
  }

  // The body; for HEAD only the length a GET would get.
  static void SetBody(const http::request<http::string_body>& request, Response& response, std::string body) {
    if (request.method() == http::verb::head) return response.content_length(body.size());
    response.body() = std::move(body);
    response.prepare_payload();
  }

  std::shared_ptr<Response> Plain(const http::request<http::string_body>& request, http::status status,
                                  const char* text) {
    auto response = std::make_shared<Response>(status, request.version());
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->keep_alive(false);
    SetBody(request, *response, text);
    return response;
  }

  void Answer(const http::request<http::string_body>& request, http::status status, const char* text) {
    Write(Plain(request, status, text));
  }

  void Write(const std::shared_ptr<Response>& response) {
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code, size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    });
  }

  beast::tcp_stream stream_;
  Gateway::Impl& gateway_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
};


void ServeSocket(tcp::socket&& socket, Gateway::Impl& gateway) { std::make_shared<HttpRequest>(std::move(socket), gateway)->Run(); }

void HandChange(Connection& connection, const std::string& linkMessage) { connection.Changed(linkMessage); }

void CloseConnection(Connection& connection) { connection.Close(); }

uint64_t PushDue(Connection& connection, uint64_t nowMs) { return connection.PushDue(nowMs); }
