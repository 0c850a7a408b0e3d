// The handle of one receiver thread (TCP, unicast or multicast): started by
// one owner, joinable from any thread, also from two at once (the supervisor
// tearing the link down and the shutdown on the main thread). At most one
// thread per handle runs: Start first waits for the previous one.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>

class ReceiverThread {
 public:
  // Starts entry on a new thread. Returns 1, or 0 when no thread could be made.
  // Only the handle's owner calls it, one call at a time.
  template <class Entry>
  int Start(Entry entry) {
    Join();
    try {
      thread_ = std::thread(std::move(entry));
    } catch (...) {
      return 0;
    }
    state_.store(kRunning);
    return 1;
  }

  // Returns once the thread started last has ended (at once if there is none).
  void Join() {
    uint32_t expected = kRunning;
    if (state_.compare_exchange_strong(expected, kJoining)) {
      thread_.join();
      state_.store(kIdle);
      state_.notify_all();
      return;
    }
    while (expected == kJoining) {  // another thread joins it: wait for that
      state_.wait(kJoining);
      expected = state_.load();
    }
  }

  ~ReceiverThread() { Join(); }

 private:
  static constexpr uint32_t kIdle = 0, kRunning = 1, kJoining = 2;
  std::thread thread_;
  std::atomic<uint32_t> state_{kIdle};
};
