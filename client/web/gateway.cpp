// The gateway's start, stop and watch thread. One thread runs the io_context,
// so every connection's state is touched by that thread alone; the watch
// thread only posts to it.
#include "web/gateway.h"

#include <chrono>
#include <future>

#include "ipc/image_changes.h"
#include "web/gateway_serving.h"

namespace {

constexpr uint32_t kWatchSliceMs = 100;  // the link's state is looked at this often

}  // namespace

void Gateway::Impl::Accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (!ec) ServeSocket(std::move(socket), *this);
    Accept();
  });
}

// Stops taking connections and closes every one (io thread).
void Gateway::Impl::CloseAll() {
  beast::error_code ignored;
  acceptor.close(ignored);
  for (auto& weak : connections)
    if (auto connection = weak.lock()) CloseConnection(*connection);
  connections.clear();
}

// Hands a change to every connection (io thread).
void Gateway::Impl::HandOut(const std::string& linkMessage) {
  changePosted.store(false);
  size_t kept = 0;
  for (auto& weak : connections)
    if (auto connection = weak.lock()) {
      HandChange(*connection, linkMessage);
      connections[kept++] = weak;
    }
  connections.resize(kept);
}

// Waits for changes of the image, looks at the link's state at least every
// kWatchSliceMs, and posts what changed to the io thread; a change posted
// and not yet handed out takes the next ones with it. What it starts from
// is taken before the gateway accepts anyone, so that a change made before
// this thread first runs still reaches the clients.
void Gateway::Impl::Watch(uint64_t seen, std::string link) {
  uint64_t linkLookedAt = GatewayNowMs();
  while (running.load()) {
    const uint64_t count = WaitForImageChange(seen, kWatchSliceMs);
    if (!running.load()) break;
    std::string linkChange;
    if (GatewayNowMs() - linkLookedAt >= kWatchSliceMs || count == seen) {
      linkLookedAt = GatewayNowMs();
      std::string current = GatewaySession::LinkMessage(host.Status());
      if (current != link) linkChange = link = std::move(current);
    }
    if (count == seen && linkChange.empty()) continue;
    seen = count;
    if (linkChange.empty() && changePosted.exchange(true)) continue;
    net::post(ioc, [this, linkChange = std::move(linkChange)] { HandOut(linkChange); });
  }
}

void Gateway::Impl::Run() {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception&) {
      // A handler that threw (out of memory, say) loses its connection, not
      // the gateway: the io_context goes on with the others.
    }
  }
}

Gateway::Gateway(GatewayHost& host) : impl_(std::make_unique<Impl>(host)) {}

Gateway::~Gateway() { Stop(); }

Status Gateway::Start(const GatewaySettings& settings) {
  Impl& g = *impl_;
  if (g.running.load() || settings.port == 0) return Status::Failure(Outcome::kBadInput, "no port to listen on");
  g.settings = settings;
  beast::error_code ec;
  const tcp::endpoint endpoint(tcp::v4(), settings.port);
  g.acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  // Binds again at once after a restart; on Windows the same option would let
  // a second program take a port in use, so it is left alone there.
  if (!ec) g.acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) g.acceptor.bind(endpoint, ec);
  if (!ec) g.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    beast::error_code ignored;
    g.acceptor.close(ignored);
    return Status::Failure(Outcome::kFailed, "port %u: %s", unsigned(settings.port), ec.message().c_str());
  }
  g.port.store(g.acceptor.local_endpoint().port());
  g.running.store(true);
  const uint64_t changes = ImageChangeCount();
  std::string link = GatewaySession::LinkMessage(g.host.Status());
  g.Accept();
  g.ioThread = std::thread([&g] { g.Run(); });
  g.watchThread = std::thread([&g, changes, link = std::move(link)]() mutable { g.Watch(changes, std::move(link)); });
  return Status::Done();
}

void Gateway::Stop() {
  Impl& g = *impl_;
  if (!g.running.exchange(false)) return;
  WakeImageWatchers();
  if (g.watchThread.joinable()) g.watchThread.join();
  // The clients see their connections end now, not when the process does.
  std::promise<void> closed;
  std::future<void> done = closed.get_future();
  net::post(g.ioc, [&g, &closed] {
    g.CloseAll();
    closed.set_value();
  });
  done.wait_for(std::chrono::seconds(1));
  g.ioc.stop();
  if (g.ioThread.joinable()) g.ioThread.join();
  beast::error_code ignored;
  g.acceptor.close(ignored);
  g.port.store(0);
}

int Gateway::ClientCount() const { return impl_->clients.load(); }

uint16_t Gateway::Port() const { return impl_->port.load(); }
