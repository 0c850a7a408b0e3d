// A gateway session with a typical group of 20 fields of every type: a poll
// that pushes all 20 changed values, a poll that finds nothing changed, a
// read request and a write request, each with its JSON made and printed.
// The load to carry is 50 clients pushing 20 values 20 times a second, 1,000
// pushes a second: targets on the build machine are a push of 20 values and a
// read within 20 us each (2% of one core at that load), a poll of an unchanged
// group within 2 us.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ipc/offset_image.h"
#include "link/net.h"
#include "web/gateway_session.h"

namespace {

struct BenchHost final : GatewayHost, WriteBatchSender {
  LinkStatus Status() override { return LinkStatus(); }
  WriteBatchSender& Writes() override { return *this; }
  uint32_t ThisPcAddress() override { return NetParseAddress("127.0.0.1"); }
  bool LinkUp() override { return true; }
  Outcome Send(const uint8_t* batch, uint32_t size) override {
    benchmark::DoNotOptimize(batch[size - 1]);
    return Outcome::kDone;
  }
} host;

// 20 fields, two of each type but string and bytes (one of each), 16 bytes apart.
std::string DeclareTwenty() {
  const char* types[] = {"u8", "s8", "u16", "s16", "u32", "s32", "u64", "s64", "f32", "f64"};
  std::string offsets;
  for (int i = 0; i < 18; ++i) {
    offsets += R"({"name":"v)" + std::to_string(i) + R"(","offset":)" + std::to_string(0x1000 + 16 * i) +
               R"(,"type":")" + types[i % 10] + "\"},";
  }
  offsets += R"({"name":"text","offset":"0x1200","type":"string","size":16},)";
  offsets += R"({"name":"raw","offset":"0x1210","type":"bytes","size":8})";
  return R"({"op":"declare","group":"g","offsets":[)" + offsets + "]}";
}

// Changes every byte of the 20 fields, as update records would.
void ChangeAll(uint8_t value) {
  std::vector<uint8_t> records;
  for (uint32_t o = 0x1000; o < 0x1218; ++o) records.insert(records.end(), {0, 0, uint8_t(o), uint8_t(o >> 8), value, 0});
  ApplyUpdateRecords(records.data(), uint32_t(records.size() / 6));
}

void Ask(GatewaySession& session, const std::string& message) {
  std::string reply;
  session.Handle(message, 0, &reply);
}

void BM_PushTwentyChanged(benchmark::State& state) {
  InitOffsetImage();
  GatewaySession session(host, true, GatewaySettings());
  Ask(session, DeclareTwenty());
  Ask(session, R"({"op":"subscribe","group":"g","interval":0})");
  std::vector<std::string> pushes;
  uint8_t value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ChangeAll(uint8_t(0x41 + (++value % 16)));  // printable, so the string has all 16 characters
    pushes.clear();
    state.ResumeTiming();
    session.Poll(1, &pushes);
    benchmark::DoNotOptimize(pushes.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushTwentyChanged);

void BM_PollUnchanged(benchmark::State& state) {
  InitOffsetImage();
  GatewaySession session(host, true, GatewaySettings());
  Ask(session, DeclareTwenty());
  Ask(session, R"({"op":"subscribe","group":"g","interval":0})");
  std::vector<std::string> pushes;
  session.Poll(0, &pushes);
  for (auto _ : state) {
    pushes.clear();
    session.Poll(1, &pushes);
    benchmark::DoNotOptimize(pushes.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollUnchanged);

void BM_ReadTwenty(benchmark::State& state) {
  InitOffsetImage();
  ChangeAll(0x41);
  GatewaySession session(host, true, GatewaySettings());
  Ask(session, DeclareTwenty());
  std::string reply;
  for (auto _ : state) {
    session.Handle(R"({"op":"read","group":"g","id":1})", 0, &reply);
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadTwenty);

void BM_WriteFour(benchmark::State& state) {
  InitOffsetImage();
  GatewaySession session(host, true, GatewaySettings());
  Ask(session, DeclareTwenty());
  const std::string write = R"({"op":"write","group":"g","values":{"v2":513,"v8":-1.5,"v9":3.25,"text":"caf\u00e9"}})";
  std::string reply;
  for (auto _ : state) {
    session.Handle(write, 0, &reply);
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteFour);

}  // namespace

BENCHMARK_MAIN();
