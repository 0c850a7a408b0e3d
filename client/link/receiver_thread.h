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
    // Starting before the thread exists: a Join from another thread in the
    // meantime waits for the new thread instead of taking it for none.
    state_.store(kStarting);
    try {
      thread_ = std::thread(std::move(entry));
    } catch (...) {
      Settle(kIdle);
      return 0;
    }
    Settle(kRunning);
    return 1;
  }

  // Returns once the thread started last has ended (at once if there is none).
  void Join() {
    for (;;) {
      uint32_t expected = kRunning;
      if (state_.compare_exchange_strong(expected, kJoining)) {
        thread_.join();
        Settle(kIdle);
        return;
      }
      if (expected == kIdle) return;
      state_.wait(expected);  // starting, or another thread joins it
    }
  }

  ~ReceiverThread() { Join(); }

 private:
  static constexpr uint32_t kIdle = 0, kRunning = 1, kJoining = 2, kStarting = 3;

  void Settle(uint32_t state) {
    state_.store(state);
    state_.notify_all();
  }

  std::thread thread_;
  std::atomic<uint32_t> state_{kIdle};
};
