// Throughput of the link's receive path: data blocks into the image, and the
// TCP stream through the reassembler and validation.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "ipc/offset_image.h"
#include "link/frame_reader.h"
#include "link/frames.h"
#include "link/link.h"

namespace {

std::vector<uint8_t> BlockStream(int blocks) {
  std::vector<uint8_t> payload(kDataBlockSize, 0x5A), frame(kDataBlockSize + kFrameOverhead), stream;
  for (int i = 0; i < blocks; ++i) {
    BuildFrame(kTypeFirstBlock + uint32_t(i % 5), kTagBlock1A2B, payload.data(), kDataBlockSize, frame.data(),
               uint32_t(frame.size()));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

// One data block without pending local writes, lock and count included.
void BM_TakeDataBlock(benchmark::State& state) {
  InitOffsetImage();
  std::vector<uint8_t> payload(kDataBlockSize, 0x11);
  for (auto _ : state) benchmark::DoNotOptimize(TakeDataBlock(7, payload.data()));
  state.SetBytesProcessed(int64_t(state.iterations()) * kDataBlockSize);
}
BENCHMARK(BM_TakeDataBlock);

// The stream in receives of range(0) bytes through the reader and validation.
void BM_ReassembleBlocks(benchmark::State& state) {
  const std::vector<uint8_t> stream = BlockStream(40);
  auto reader = std::make_unique<FrameReader>();
  ResetFrameReader(*reader, kTcpFrames, nullptr, nullptr);
  const size_t piece = size_t(state.range(0));
  uint64_t frames = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += piece) {
      const size_t n = stream.size() - at < piece ? stream.size() - at : piece;
      FeedFrameReader(*reader, stream.data() + at, uint32_t(n));
      Frame f{};
      while (NextFrame(*reader, &f) == NextFrameResult::kFrame) ++frames;
    }
  }
  benchmark::DoNotOptimize(frames);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_ReassembleBlocks)->Arg(1460)->Arg(16394)->Arg(65535);

// The whole TCP data path after the receive: reassembly, validation, apply.
void BM_ReceiveBlocks(benchmark::State& state) {
  InitOffsetImage();
  const std::vector<uint8_t> stream = BlockStream(40);
  auto reader = std::make_unique<FrameReader>();
  ResetFrameReader(*reader, kTcpFrames, nullptr, nullptr);
  auto link = std::make_unique<Link>();
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kReceiveBufferSize) {
      const size_t n = stream.size() - at < kReceiveBufferSize ? stream.size() - at : kReceiveBufferSize;
      FeedFrameReader(*reader, stream.data() + at, uint32_t(n));
      Frame f{};
      while (NextFrame(*reader, &f) == NextFrameResult::kFrame) link->Tcp().TakeFrame(f);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}
BENCHMARK(BM_ReceiveBlocks);

}  // namespace
