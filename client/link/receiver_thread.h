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

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

class ReceiverThread {
 public:
  // How often a waking join wakes its thread again (see Join(wake)).
  static constexpr std::chrono::milliseconds kWakeEvery{20};

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
      started = std::thread([this, entry = std::move(entry)]() mutable {
        entry();
        Finished();
      });
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
  void Join() { JoinWith<void (*)()>(nullptr, kWakeEvery); }

  // The same, calling wake() now and every `every` until the thread has ended:
  // for a thread blocked in a call that one wake may miss (a cancel that
  // comes just before the thread enters its receive). Also wakes while
  // another thread joins, which may not wake at all.
  template <class Wake>
  void Join(Wake wake, std::chrono::milliseconds every = kWakeEvery) {
    JoinWith(&wake, every);
  }

  ~ReceiverThread() { Join(); }

 private:
  enum class State { kIdle, kStarting, kRunning, kJoining };

  // Join's steps; wake may be null (a join that waits without waking).
  template <class Wake>
  void JoinWith(Wake* wake, std::chrono::milliseconds every) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (state_ == State::kIdle) return;
      if (state_ == State::kStarting) {
        changed_.wait(lock, [this] { return state_ != State::kStarting; });
        continue;
      }
      if (state_ == State::kRunning && finished_) {
        state_ = State::kJoining;
        std::thread running = std::move(thread_);
        lock.unlock();
        running.join();  // at its last instruction already
        Settle(State::kIdle);
        return;
      }
      // Running, or another thread joins it: wake it until it has ended.
      const State seen = state_;
      const auto changed = [this, seen] { return state_ != seen || (seen == State::kRunning && finished_); };
      if (wake == nullptr) {
        changed_.wait(lock, changed);
        continue;
      }
      if (!finished_) {
        lock.unlock();
        (*wake)();
        lock.lock();
      }
      changed_.wait_for(lock, every, changed);
    }
  }

  void Settle(State state) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = state;
      if (state == State::kStarting) finished_ = false;
    }
    changed_.notify_all();
  }

  // The thread's last step: a joiner may take it now.
  void Finished() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  State state_ = State::kIdle;
  bool finished_ = false;  // the thread started last has run its entry
};
