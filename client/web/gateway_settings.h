// How the gateway is set up: its port, the key that writes from another PC
// carry, the page origins allowed besides its own, and the folder of the
// user's pages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web/web_limits.h"

struct GatewaySettings {
  uint16_t port = kDefaultWebPort;   // 0: no gateway
  std::string key;                   // what writes from another PC must carry (?key=...); "" refuses them all
  std::vector<std::string> origins;  // page origins allowed besides the gateway's own ("http://host:port")
  std::string pagesFolder;           // served before the built-in pages; "": the built-in pages only
};
