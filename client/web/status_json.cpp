// The status reply and the link message (see the header).
#include "web/status_json.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "link/net.h"

namespace {

std::string NulEnded(const char* text, size_t size) {
  const void* nul = std::memchr(text, 0, size);
  return std::string(text, nul != nullptr ? size_t(static_cast<const char*>(nul) - text) : size);
}

}  // namespace

bool StatusUp(const LinkStatus& status) { return status.state == kUdpTcpConnected; }

std::string StatusServer(const LinkStatus& status) {
  if (status.sender == 0) return "";
  char text[kNetAddressTextSize];
  return NetFormatAddress(status.sender, text);
}

void AddStatusMembers(const LinkStatus& status, Json* reply) {
  Json& r = *reply;
  r["state"] = ConnectionStateName(status.state);
  r["up"] = StatusUp(status);
  r["server"] = StatusServer(status);
  r["serverName"] = NulEnded(status.serverName, sizeof status.serverName);
  r["udpRate"] = status.udpRate;
  r["dataRate"] = status.dataRate;
  r["requests"] = status.counts.requests;
  r["requestRate"] = status.rates.requests;
  r["readBytes"] = status.counts.readBytes;
  r["readRate"] = status.rates.readBytes;
  r["writeBytes"] = status.counts.writeBytes;
  r["writeRate"] = status.rates.writeBytes;
  Json lines = Json::array();
  char line[kUdpLineSize];  // the longest line
  for (int id = 0; id < kStatusLineCount; ++id) {
    const uint32_t n = FormatStatusLine(status, StatusLineId(id), line, sizeof line);
    lines.push_back(std::string(line, n));
  }
  r["lines"] = std::move(lines);
}

std::string WebAddress(uint32_t address, uint16_t port) {
  char text[kNetAddressTextSize];
  return std::string("http://") + NetFormatAddress(address, text) + ":" + std::to_string(port) + "/";
}

void AddWebMember(uint32_t address, uint16_t port, const std::string& key, Json* reply) {
  Json web = Json::object();
  web["address"] = WebAddress(address, port);
  if (!key.empty()) web["key"] = key;
  (*reply)["web"] = std::move(web);
}

std::string LinkMessageText(const LinkStatus& status) {
  Json message = Json::object();
  message["op"] = "link";
  message["up"] = StatusUp(status);
  message["server"] = StatusServer(status);
  return PrintMessage(message);
}
