// The gateway's access rules: pure text and number checks.
#include "web/web_access.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "link/net.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The host part of a Host header: without ":port", without the brackets of an
// IPv6 literal.
std::string_view HostPart(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const size_t end = host.find(']');
    return end == std::string_view::npos ? std::string_view() : host.substr(1, end - 1);
  }
  const size_t colon = host.find(':');
  return colon == std::string_view::npos ? host : host.substr(0, colon);
}

bool IsLoopback(uint32_t address) { return (address & 0xFF) == 127; }  // 127.0.0.0/8, network byte order

}  // namespace

RequestTarget SplitTarget(std::string_view target) {
  RequestTarget out{target, {}};
  const size_t question = target.find('?');
  if (question == std::string_view::npos) return out;
  out.path = target.substr(0, question);
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (pair.substr(0, 4) == "key=") out.key = pair.substr(4);
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return out;
}

bool HostAllowed(std::string_view host, const ThisPc& pc) {
  const std::string_view name = HostPart(host);
  if (name.empty()) return false;
  if (SameIgnoringCase(name, "localhost") || name == "::1") return true;
  if (!pc.hostName.empty() && SameIgnoringCase(name, pc.hostName)) return true;
  // A dotted address in its standard form only: "127.1" or "0x7f.0.0.1" are
  // names a browser would not send for this PC.
  const std::string text(name);
  const uint32_t address = NetParseAddress(text.c_str());
  char formatted[kNetAddressTextSize];
  if (address == kNetNoAddress || text != NetFormatAddress(address, formatted)) return false;
  return IsThisPc(address, pc);
}

bool OriginAllowed(std::string_view origin, std::string_view host, const std::vector<std::string>& allowed) {
  if (origin.empty() || origin == "null") return false;
  constexpr std::string_view kScheme = "http://";
  if (origin.size() == kScheme.size() + host.size() && SameIgnoringCase(origin.substr(0, kScheme.size()), kScheme) &&
      SameIgnoringCase(origin.substr(kScheme.size()), host))
    return true;
  for (const std::string& listed : allowed)
    if (SameIgnoringCase(origin, listed)) return true;
  return false;
}

bool IsThisPc(uint32_t address, const ThisPc& pc) {
  if (IsLoopback(address)) return true;
  for (uint32_t mine : pc.addresses)
    if (mine == address) return true;
  return false;
}

bool KeyMatches(std::string_view given, std::string_view key) {
  if (key.empty() || given.size() != key.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < key.size(); ++i) differ |= static_cast<unsigned char>(given[i] ^ key[i]);
  return differ == 0;
}

std::string MakeWriteKey() {
  std::random_device random;
  char text[33];
  for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", unsigned(random()));
  return std::string(text, 32);
}
