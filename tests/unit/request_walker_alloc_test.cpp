// The walker's data path allocates nothing: every allocation of this program
// goes through a counting global operator new, and a run of reads, writes, a
// bad record, a failed send and the image's receive-side updates must leave
// the count where it was.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "ipc/offset_image.h"
#include "ipc/request_walker.h"
#include "request_walker_fixture.h"

// Counts every allocation through the global operator new of this program.
namespace {
std::atomic<uint64_t> newCalls{0};
void* CountedAlloc(std::size_t n) {
  newCalls.fetch_add(1);
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) std::abort();
  return p;
}
}  // namespace
void* operator new(std::size_t n) { return CountedAlloc(n); }
void* operator new[](std::size_t n) { return CountedAlloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST_F(Walker, NothingAllocatesOnTheDataPath) {
  Request reads, writes, bad;
  for (uint32_t i = 0; i < 40; ++i) reads.Read(i * 0x0C00, 1 + i % 8);
  reads.Write(0x0100, {1, 2, 3, 4}).End();
  writes.Write(0x0200, Bytes(300, 7)).Write(0x330A, {1, 2}).End();
  bad.Read(0x0274, 2).Word(3).End();
  Bytes block(kDataBlockSize, 0x42), updates;
  for (uint32_t i = 0; i < 100; ++i) updates.insert(updates.end(), {uint8_t(i & 1), 0, uint8_t(i), 0x02, uint8_t(i), 0});
  std::vector<std::unique_ptr<uint8_t[]>> views;
  for (Request* r : {&reads, &writes, &bad, &reads, &writes}) {
    views.emplace_back(new uint8_t[r->area.size()]);
    std::memcpy(views.back().get(), r->area.data(), r->area.size());
  }
  Request* order[] = {&reads, &writes, &bad, &reads, &writes};

  const uint64_t before = newCalls.load();
  readLogging = 1, writeLogging = 1;
  for (size_t i = 0; i < 5; ++i) {
    if (i == 4) fake.reply = Outcome::kNoLink, fake.dropsLink = true;  // and a failed send
    WalkRequest(views[i].get(), order[i]->area.size(), fake);
  }
  TakeDataBlock(6, block.data());  // with shadow marks from the writes
  TakeDataBlock(8, block.data());  // without
  ApplyUpdateRecords(updates.data(), 100);
  const uint64_t calls = newCalls.load() - before;

  EXPECT_EQ(0u, calls);
  EXPECT_EQ(4, fake.calls);
  EXPECT_EQ(0u, fake.up.load());
}

}  // namespace
