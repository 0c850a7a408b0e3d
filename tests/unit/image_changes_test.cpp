// The image's change count and its hook: every kind of change counts and runs
// the hook on the writer's thread, what changes nothing does neither, and a
// hook replaced while writers run runs no more once the replacing returns.
#include "ipc/image_changes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "ipc/offset_image.h"

namespace {

void CountCall(void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

class ImageChanges : public ::testing::Test {
 protected:
  void SetUp() override { InitOffsetImage(); }
  void TearDown() override { SetImageChangeHook(nullptr, nullptr); }
  std::atomic<int> calls_{0};
};

TEST_F(ImageChanges, EachKindOfChangeCountsAndRunsTheHook) {
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
  SetImageChangeHook(CountCall, &calls_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = ImageChangeCount();
    const int called = calls_.load();
    c.change();
    EXPECT_EQ(before + 1, ImageChangeCount());
    EXPECT_EQ(called + 1, calls_.load());
  }
}

TEST_F(ImageChanges, NothingThatChangesNothingCounts) {
  SetImageChangeHook(CountCall, &calls_);
  const uint64_t before = ImageChangeCount();
  const uint8_t block[kDataBlockSize] = {};
  const uint8_t value[2] = {1, 2};
  TakeDataBlock(11, block);                       // not a block type: refused
  ApplyUpdateRecords(nullptr, 0);                 // no record
  ApplyLocalWrite(kServerOwnedOffset, 2, value);  // the server's bytes: refused
  EXPECT_EQ(before, ImageChangeCount());
  EXPECT_EQ(0, calls_.load());
}

TEST_F(ImageChanges, AHookReplacedRunsNoMore) {
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const uint8_t value[1] = {1};
    while (writing.load()) ApplyLocalWrite(0x0100, 1, value);
  });
  const uint64_t start = ImageChangeCount();
  while (ImageChangeCount() == start) std::this_thread::yield();  // the writer runs
  std::atomic<int> other{0};
  for (int round = 0; round < 50; ++round) {
    SetImageChangeHook(CountCall, &calls_);
    SetImageChangeHook(CountCall, &other);
    const int after = calls_.load();
    std::this_thread::yield();
    EXPECT_EQ(after, calls_.load()) << "round " << round;
  }
  SetImageChangeHook(nullptr, nullptr);
  writing = false;
  writer.join();
}

}  // namespace
