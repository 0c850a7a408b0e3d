// The change count is an atomic; the waiters sleep on a condition variable
// that a change notifies only while one of them waits.
#include "ipc/image_changes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::atomic<uint64_t> changes{0};
std::atomic<uint32_t> waiters{0};
std::atomic<uint64_t> wakeUps{0};  // WakeImageWatchers calls
std::mutex changeLock;             // only for the waiters' sleep
std::condition_variable changed;

}  // namespace

void NoteImageChange() {
  changes.fetch_add(1);
  if (waiters.load() == 0) return;
  { std::lock_guard<std::mutex> hold(changeLock); }  // a waiter between its check and its sleep is asleep now
  changed.notify_all();
}

uint64_t ImageChangeCount() { return changes.load(); }

uint64_t WaitForImageChange(uint64_t seen, uint32_t ms) {
  std::unique_lock<std::mutex> hold(changeLock);
  waiters.fetch_add(1);
  const uint64_t woken = wakeUps.load();
  changed.wait_for(hold, std::chrono::milliseconds(ms),
                   [&] { return changes.load() != seen || wakeUps.load() != woken; });
  waiters.fetch_sub(1);
  return changes.load();
}

void WakeImageWatchers() {
  {
    std::lock_guard<std::mutex> hold(changeLock);
    wakeUps.fetch_add(1);
  }
  changed.notify_all();
}
