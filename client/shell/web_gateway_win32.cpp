// The gateway's place in the client's life: after the connection status
// thread starts, before anything of the link stops.
#include "shell/web_gateway_win32.h"

#include <cstdio>
#include <memory>
#include <string>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "link/link.h"
#include "shell/web_settings.h"
#include "web/gateway.h"
#include "web/link_host.h"
#include "web/status_json.h"

namespace {

std::unique_ptr<LinkHost> host;
std::unique_ptr<Gateway> gateway;
GatewaySettings settings;
Status startStatus;  // how the start went, for the Web menu's box

// The address a tablet opens, as the status reply gives it (only while the
// gateway runs).
std::string PagesAddress() { return WebAddress(host->ThisPcAddress(), settings.port); }

// The folder of the user's pages: "web" beside the program, whatever the
// working directory (plug-in mode runs in the simulator's folder).
std::string PagesFolder() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  const std::string program(path, n);
  return program.substr(0, program.find_last_of("\\/") + 1) + "web";
}

}  // namespace

void StartWebGateway(Link& link) {
  Status keyStatus;
  settings = LoadGatewaySettings(&keyStatus);
  settings.pagesFolder = PagesFolder();
  char now[kTimestampSize];
  if (!keyStatus.ok())
    LogEvent("%s Web gateway: no write key (%s); writes from other PCs are refused\n", FormatTimestamp(now),
             keyStatus.text());
  if (settings.port == 0) {
    startStatus = Status::Failure(Outcome::kBadInput, "Port = 0 in [%s]", kWebSection);
    LogEvent("%s Web gateway off (Port = 0)\n", FormatTimestamp(now));
    return;
  }
  host = std::make_unique<LinkHost>(link);
  gateway = std::make_unique<Gateway>(*host);
  startStatus = gateway->Start(settings);
  if (startStatus.ok())
    LogEvent("%s Web gateway at %s\n", FormatTimestamp(now), PagesAddress().c_str());
  else
    LogEvent("%s Web gateway not started: %s; the client goes on without it\n", FormatTimestamp(now),
             startStatus.text());
}

void StopWebGateway() {
  if (gateway != nullptr) gateway->Stop();
}

void ShowWebAddress(HWND owner) {
  char text[512];
  if (gateway == nullptr || !startStatus.ok()) {
    std::snprintf(text, sizeof text, "The web gateway is not running: %s.", startStatus.text());
  } else {
    const std::string address = PagesAddress();
    std::snprintf(text, sizeof text,
                  "Open this address on a tablet, a phone or another PC:\n\n%s?key=%s\n\n"
                  "Without the key, other PCs can read the image but not write it.\n\n"
                  "Web clients connected now: %d",
                  address.c_str(), settings.key.c_str(), gateway->ClientCount());
  }
  MessageBoxA(owner, text, "Kestrovaline Web", MB_ICONINFORMATION | MB_OK);
}
