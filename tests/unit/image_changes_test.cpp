// The image's change count and the wait for it: every kind of change wakes a
// waiter, a wait on an old count returns at once, and a stopping watcher is
// woken without a change.
#include "ipc/image_changes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "ipc/offset_image.h"

namespace {

constexpr uint32_t kLong = 60000;  // a wait that only a change or a wake-up ends

TEST(ImageChanges, EachKindOfChangeWakesAWaiter) {
  InitOffsetImage();
  const uint8_t block[kDataBlockSize] = {};
  const uint8_t record[kUpdateRecordSize] = {0, 0, 0x74, 0x02, 0x11, 0};
  const uint8_t value[2] = {1, 2};
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"data block", [&] { TakeDataBlock(6, block); }},
      {"update record", [&] { ApplyUpdateRecords(record, 1); }},
      {"local write", [&] { ApplyLocalWrite(0x0100, 2, value); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = ImageChangeCount();
    std::atomic<uint64_t> seen{0};
    std::thread waiter([&] { seen = WaitForImageChange(before, kLong); });
    c.change();
    waiter.join();
    EXPECT_EQ(before + 1, seen.load());
  }
}

TEST(ImageChanges, NothingThatChangesNothingCounts) {
  InitOffsetImage();
  const uint64_t before = ImageChangeCount();
  const uint8_t block[kDataBlockSize] = {};
  const uint8_t value[2] = {1, 2};
  TakeDataBlock(11, block);                          // not a block type: refused
  ApplyUpdateRecords(nullptr, 0);                    // no record
  ApplyLocalWrite(kServerOwnedOffset, 2, value);     // the server's bytes: refused
  EXPECT_EQ(before, ImageChangeCount());
  EXPECT_EQ(before, WaitForImageChange(before, 1));  // a short wait runs out
}

TEST(ImageChanges, AnOldCountReturnsAtOnceAndAWakeUpEndsTheWait) {
  InitOffsetImage();
  const uint64_t now = ImageChangeCount();
  EXPECT_EQ(now, WaitForImageChange(now - 1, kLong));
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    WaitForImageChange(now, kLong);
    ended = true;
  });
  // A wake-up that comes before the wait begins is not the wait's: wake until
  // it has ended.
  while (!ended) {
    WakeImageWatchers();
    std::this_thread::yield();
  }
  waiter.join();
  EXPECT_EQ(now, ImageChangeCount());
}

}  // namespace
