// A test program that includes this header moves into a network namespace
// of its own before main, while it has one thread, when it may create one:
// its fixed ports cannot meet another program's, and nothing it sends (a
// name-service query among it) leaves the machine. privateNetwork says
// whether it did.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// A fresh network namespace with its loopback up, when we may create one.
inline const bool privateNetwork = [] {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  if (s < 0) return false;
  bool up = ioctl(s, SIOCGIFFLAGS, &lo) == 0;
  lo.ifr_flags |= IFF_UP;
  up = up && ioctl(s, SIOCSIFFLAGS, &lo) == 0;
  close(s);
  return up;
}();
