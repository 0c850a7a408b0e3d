// The handle of one receiver thread (TCP, unicast or multicast): started by
// one owner, joinable from any thread, also from two at once (the supervisor
// tearing the link down and the shutdown on the main thread). At most one
// thread per handle runs: Start first waits for the previous one.
//
// The state lives under a mutex with a condition variable rather than in an
// atomic with wait/notify: the MinGW runtime's atomic wait can lose a wake-up
// that races the waiter going to sleep, and a lost wake-up here is a join
// that never returns.
#pragma once

#include <condition_variable>
#include <mutex>
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
    Settle(State::kStarting);
    std::thread started;
    try {
      started = std::thread(std::move(entry));
    } catch (...) {
      Settle(State::kIdle);
      return 0;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      thread_ = std::move(started);
      state_ = State::kRunning;
    }
    changed_.notify_all();
    return 1;
  }

  // Returns once the thread started last has ended (at once if there is none).
  void Join() {
    std::unique_lock<std::mutex> lock(mutex_);
    // Starting, or another thread joins it: wait until that settles.
    changed_.wait(lock, [this] { return state_ == State::kIdle || state_ == State::kRunning; });
    if (state_ == State::kIdle) return;
    state_ = State::kJoining;
    std::thread running = std::move(thread_);
    lock.unlock();
    running.join();
    Settle(State::kIdle);
  }

  ~ReceiverThread() { Join(); }

 private:
  enum class State { kIdle, kStarting, kRunning, kJoining };

  void Settle(State state) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = state;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  State state_ = State::kIdle;
};
