#include "link/link_addresses.h"

// The defaults, kept when the settings file does not name an address.
char localIpAddress[kAddressTextSize] = "192.168.1.60";
char serverIpAddress[kAddressTextSize] = "192.168.1.40";
