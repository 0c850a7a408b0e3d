// The local IPC data path: one typical request through the walker, data
// blocks into the image with and without pending local writes, and a frame of
// update records. Targets on the build machine: the typical request within
// 2 us; a data block without marks at 8 GB/s or more (about 2 us a block).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "ipc/request_walker.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct AcceptingSender final : WriteBatchSender {
  bool LinkUp() override { return true; }
  Outcome Send(const uint8_t* batch, uint32_t size) override {
    benchmark::DoNotOptimize(batch[size - 1]);
    return Outcome::kDone;
  }
} acceptBatch;

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// 40 read records of 1 to 8 bytes spread over the image, one 4-byte write.
Bytes TypicalRequest() {
  Bytes area;
  for (uint32_t i = 0; i < 40; ++i) {
    const uint32_t n = 1 + i % 8;
    Put32(area, kReadKind), Put32(area, (i * 0x0CC1) % (kImageSize - 8)), Put32(area, n), Put32(area, i);
    area.insert(area.end(), n, 0);
  }
  Put32(area, kWriteKind), Put32(area, 0x0BC0), Put32(area, 4), Put32(area, 0x01020304);
  Put32(area, 0);
  return area;
}

void BM_WalkTypicalRequest(benchmark::State& state) {
  InitOffsetImage();
  readLogging = 0, writeLogging = 0;
  Bytes area = TypicalRequest();
  for (auto _ : state) {
    const Outcome result = WalkRequest(area.data(), area.size(), acceptBatch);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WalkTypicalRequest);

// Applies one block per iteration, under the lock as the TCP receiver does.
// state.range(0) local writes are pending in the block's quarter; the block
// carries other values, so they stay pending.
void BM_TakeDataBlock(benchmark::State& state) {
  InitOffsetImage();
  const uint8_t mine = 0x11;
  const uint32_t marks = uint32_t(state.range(0));
  for (uint32_t i = 0; i < marks; ++i) ApplyLocalWrite((i * 0x1F7) % kDataBlockSize, 1, &mine);
  Bytes block(kDataBlockSize);
  for (uint32_t i = 0; i < kDataBlockSize; ++i) block[i] = uint8_t(0x20 + i % 0xC0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(TakeDataBlock(kTypeFirstBlock, block.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kDataBlockSize);
}
BENCHMARK(BM_TakeDataBlock)->Arg(0)->Arg(1)->Arg(1024)->Arg(16384);

void BM_ApplyUpdateRecords(benchmark::State& state) {
  InitOffsetImage();
  const uint32_t count = uint32_t(state.range(0));
  Bytes records;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = i * 0x95;
    records.insert(records.end(), {uint8_t(i & 1), 0, uint8_t(offset), uint8_t(offset >> 8), uint8_t(i), 0});
  }
  for (auto _ : state) {
    ApplyUpdateRecords(records.data(), count);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * count);
}
BENCHMARK(BM_ApplyUpdateRecords)->Arg(1)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
