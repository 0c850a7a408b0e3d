#include "base/shared_flags.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<uint32_t> programRunning{0};

namespace {

// StopRunning clears the flag under the lock, so that a waiter checks it
// either before (and does not sleep) or is asleep when the notice comes.
std::mutex stopLock;
std::condition_variable stopped;

}  // namespace

void StopRunning() {
  {
    std::lock_guard<std::mutex> hold(stopLock);
    programRunning.store(0);
  }
  stopped.notify_all();
}

int WaitWhileRunning(uint32_t ms) {
  std::unique_lock<std::mutex> hold(stopLock);
  const bool stopping =
      stopped.wait_for(hold, std::chrono::milliseconds(ms), [] { return programRunning.load() == 0; });
  return stopping ? 0 : 1;
}
