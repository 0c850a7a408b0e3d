// The gateway's start, stop, tick and look at the link. One thread runs the
// io_context, so every connection's state is touched by that thread alone;
// the image's change hook only posts to it.
#include "web/gateway.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "ipc/image_changes.h"
#include "web/gateway_serving.h"

namespace {

constexpr uint32_t kLinkLookMs = 100;  // the link's state is looked at this often

// The image's change hook while a connection has a subscription of interval
// 0, on the writer's thread: posts one hand-out, which takes every change
// until it runs with it. It never waits and never throws.
void PostImageChange(void* context) {
  auto& g = *static_cast<Gateway::Impl*>(context);
  if (g.changePosted.exchange(true)) return;
  try {
    net::post(g.ioc, [&g] { g.HandOut(std::string()); });
  } catch (const std::exception&) {
    g.changePosted.store(false);  // out of memory: the next change tries again
  }
}

}  // namespace

void Gateway::Impl::Accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (!ec) {
      // A push goes out at once, not when the client has acknowledged the
      // one before (which its delayed ACK may hold for tens of ms).
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      ServeSocket(std::move(socket), *this);
    }
    Accept();
  });
}

// Stops taking connections and closes every one (io thread).
void Gateway::Impl::CloseAll() {
  beast::error_code ignored;
  acceptor.close(ignored);
  tick.cancel();
  linkTimer.cancel();
  EachConnection([](Connection& c) { CloseConnection(c); });
  connections.clear();
}

void Gateway::Impl::ScheduleTick(uint64_t dueMs) {
  if (dueMs >= tickAt || !acceptor.is_open()) return;
  tickAt = dueMs;
  const uint64_t now = GatewayNowMs();
  tick.expires_after(std::chrono::milliseconds(dueMs > now ? dueMs - now : 0));
  tick.async_wait([this](beast::error_code ec) {
    if (ec) return;  // set again for another time, or the gateway stops
    tickAt = UINT64_MAX;
    Tick();
  });
}

void Gateway::Impl::Tick() {
  const uint64_t now = GatewayNowMs();
  uint64_t next = UINT64_MAX;
  EachConnection([&](Connection& c) { next = std::min(next, PushDue(c, now)); });
  // A clock that reads a little behind the timer's must not set it for now
  // again and again.
  ScheduleTick(std::max(next, now + 1));
}

// Hands a change to every connection (io thread).
void Gateway::Impl::HandOut(const std::string& linkMessage) {
  changePosted.store(false);
  EachConnection([&](Connection& c) { HandChange(c, linkMessage); });
}

// Looks at the link's state every kLinkLookMs and tells the connections when
// it changed (io thread).
void Gateway::Impl::LookAtLink() {
  std::string current = GatewaySession::LinkMessage(host.Status());
  if (current != link) {
    link = current;
    HandOut(current);
  }
  linkTimer.expires_after(std::chrono::milliseconds(kLinkLookMs));
  linkTimer.async_wait([this](beast::error_code ec) {
    if (!ec) LookAtLink();
  });
}

void Gateway::Impl::WantEachChange(bool wanted) {
  eachChange += wanted ? 1 : -1;
  if (wanted && eachChange == 1) {
    SetImageChangeHook(PostImageChange, this);
    // A change between the first push and the hook is handed out too.
    PostImageChange(this);
  } else if (!wanted && eachChange == 0) {
    SetImageChangeHook(nullptr, nullptr);
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
  // The link's state before anyone is accepted: a change after it is told,
  // however late the io thread first runs.
  g.link = GatewaySession::LinkMessage(g.host.Status());
  g.Accept();
  net::post(g.ioc, [&g] { g.LookAtLink(); });
  g.ioThread = std::thread([&g] { g.Run(); });
  return Status::Done();
}

void Gateway::Stop() {
  Impl& g = *impl_;
  if (!g.running.exchange(false)) return;
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
  // Only now: a handler that ran late may have set the hook again. Nothing
  // posts to the io_context from here on.
  SetImageChangeHook(nullptr, nullptr);
  beast::error_code ignored;
  g.acceptor.close(ignored);
  g.port.store(0);
}

int Gateway::ClientCount() const { return impl_->clients.load(); }

uint16_t Gateway::Port() const { return impl_->port.load(); }
