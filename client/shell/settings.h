// The settings file: two dotted addresses in section "[Network Settings]".
// Filled once at start-up, before any other thread exists; read-only after.
#pragma once

#include <cstddef>

inline constexpr size_t kSettingsPathSize = 260;
inline constexpr size_t kAddressTextSize = 100;

extern char settingsPath[kSettingsPathSize];
extern char localIpAddress[kAddressTextSize];   // "IP Address of THIS PC"
extern char serverIpAddress[kAddressTextSize];  // "IP Address of server"
