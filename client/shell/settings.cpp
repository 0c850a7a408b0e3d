#include "shell/settings.h"

char settingsPath[kSettingsPathSize] = "Kestrovaline.ini";
char localIpAddress[kAddressTextSize] = "192.168.1.60";
char serverIpAddress[kAddressTextSize] = "192.168.1.40";
