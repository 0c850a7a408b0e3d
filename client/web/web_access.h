// Who may use the gateway, decided from the text of a WebSocket upgrade: the
// Host it names, the Origin of the page that opens it, the key it carries,
// and whether it comes from this PC. A web site the user visits must not
// reach the simulator through the browser: its pages have an Origin of their
// own (refused), and a name of its own that it points at this PC (DNS
// rebinding) arrives as a Host that is not this PC's (refused). Reads are
// open to the network; writes from another PC need the key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the gateway needs to know of this PC: its IPv4 addresses (network
// byte order) and its host name.
struct ThisPc {
  std::vector<uint32_t> addresses;
  std::string hostName;
};

// The request target split: the path before '?' and the value of "key=" in
// the query ("" without one; %-escapes are not taken apart).
struct RequestTarget {
  std::string_view path;
  std::string_view key;
};
RequestTarget SplitTarget(std::string_view target);

// The Host header names this PC: "localhost", a loopback address, one of its
// addresses or its host name (any letter case), with or without ":port".
bool HostAllowed(std::string_view host, const ThisPc& pc);

// The Origin header (sent by every browser) is the gateway's own pages
// ("http://" followed by the Host header) or one of the listed origins (as
// typed in the settings, any letter case). "null" and every other origin are
// refused.
bool OriginAllowed(std::string_view origin, std::string_view host, const std::vector<std::string>& allowed);

// The peer's address (network byte order) is this PC: loopback or one of its
// addresses.
bool IsThisPc(uint32_t address, const ThisPc& pc);

// The key given matches the gateway's (never an empty one); compared in time
// that does not depend on where they differ.
bool KeyMatches(std::string_view given, std::string_view key);

// A new key: 32 hex digits from the platform's random source.
std::string MakeWriteKey();
