// Stand-in until the link lands.
#include "link/udp_receivers.h"

std::atomic<uint32_t> lastSenderAddress{0};
std::atomic<uint32_t> serverBeaconAddress{0};

int OpenUdp() { return 0; }
int StartMulticastReceiver() { return 0; }
void JoinMulticastReceiver() {}
void CopyServerHostName(char* out, size_t size) {
  if (size > 0) out[0] = '\0';
}
