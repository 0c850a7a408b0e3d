// Stand-in until the supervisor lands: waits for the shutdown.
#include "link/connection_supervisor.h"

#include <chrono>
#include <thread>

#include "link/link_flags.h"

void ConnectionStatusThread(StatusWindowPort*) {
  while (programRunning.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}
