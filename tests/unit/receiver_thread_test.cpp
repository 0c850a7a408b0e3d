// The receiver thread handle: a join returns only once the thread has ended,
// also when the supervisor and the shutdown join the same handle at once.
#include "link/receiver_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// The joiners either all wait before the thread ends, or race its end (the
// wake-up of a joiner that is just going to sleep must not be lost). A lost
// wake-up shows as a join that never returns.
TEST(ReceiverThread, EveryJoinerWaitsForTheEnd) {
  struct Case {
    const char* name;
    int rounds;
    int joiners;
    bool releaseFirst;
  };
  for (const Case& c : {Case{"joiners wait first", 500, 3, false}, Case{"joiners race the end", 4000, 2, true}}) {
    for (int round = 0; round < c.rounds; ++round) {
      ReceiverThread handle;
      std::atomic<uint32_t> release{0}, done{0}, joinedEarly{0};
      ASSERT_EQ(1, handle.Start([&] {
        while (release.load() == 0) std::this_thread::yield();
        done.store(1);
      }));
      if (c.releaseFirst) release.store(1);
      std::vector<std::thread> joiners;
      for (int j = 0; j < c.joiners; ++j)
        joiners.emplace_back([&] {
          handle.Join();
          if (done.load() == 0) joinedEarly.fetch_add(1);
        });
      release.store(1);
      for (std::thread& t : joiners) t.join();
      ASSERT_EQ(0u, joinedEarly.load()) << c.name << ", round " << round;
    }
  }
}

TEST(ReceiverThread, StartWaitsForThePreviousThread) {
  ReceiverThread handle;
  std::atomic<uint32_t> running{0}, overlapped{0};
  auto entry = [&] {
    if (running.fetch_add(1) != 0) overlapped.store(1);
    std::this_thread::yield();
    running.fetch_sub(1);
  };
  for (int i = 0; i < 100; ++i) ASSERT_EQ(1, handle.Start(entry));
  handle.Join();
  EXPECT_EQ(0u, overlapped.load());
  handle.Join();  // a second join of an ended thread returns at once
}

// A thread that only a wake ends, where the first wakes come too early (as a
// cancel before the thread enters its receive does): the waking join keeps
// waking until the thread ends, also while a plain join of another thread
// already waits for it.
TEST(ReceiverThread, AWakingJoinWakesUntilTheThreadEnds) {
  for (const bool plainJoinerFirst : {false, true}) {
    SCOPED_TRACE(plainJoinerFirst ? "a plain join waits already" : "the waking join alone");
    ReceiverThread handle;
    std::atomic<uint32_t> wakes{0};
    ASSERT_EQ(1, handle.Start([&] {
      while (wakes.load() < 3) std::this_thread::yield();  // the first two wakes miss it
    }));
    std::thread plain;
    if (plainJoinerFirst) {
      plain = std::thread([&] { handle.Join(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most likely waiting by now
    }
    handle.Join([&] { wakes.fetch_add(1); }, std::chrono::milliseconds(1));
    if (plain.joinable()) plain.join();
    EXPECT_GE(wakes.load(), 3u);
  }
}

}  // namespace
