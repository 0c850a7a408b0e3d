// The gateway's settings: section "[Web Server]" of the settings file, with
// "Port" (8765 unless set; 0: no gateway) and "Origins" (page origins allowed
// besides the gateway's own, separated by commas or blanks), and the write
// key, kept in a file of its own beside the settings file, made at the first
// start. Read once at start-up on the main thread.
#pragma once

#include <string>

#include "base/result.h"
#include "web/gateway_settings.h"

inline constexpr char kWebSection[] = "Web Server";
inline constexpr char kWriteKeyFileName[] = "Kestrovaline.key";

// The settings of settingsPath's "[Web Server]"; a port outside 0..65535
// keeps the default. The key comes from LoadOrMakeWriteKey (*keyStatus: how
// that went; the key is "" when it failed, and writes from another PC are
// then refused).
GatewaySettings LoadGatewaySettings(Status* keyStatus);

// The path of the key file: kWriteKeyFileName in settingsPath's folder.
std::string WriteKeyPath();

// The key in path (its first line, blanks around it dropped), or a new one
// written there when the file is missing or holds none.
Status LoadOrMakeWriteKey(const std::string& path, std::string* key);
