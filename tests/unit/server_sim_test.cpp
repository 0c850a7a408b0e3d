// server_sim's logic without sockets: its command and option parsing, its
// image (scripted changes, update records), the write batches it takes, and
// the broken frames its fault commands send, checked against the client's own
// frame validation.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/frames.h"
#include "sim_command.h"
#include "sim_control.h"
#include "sim_image.h"
#include "sim_journal.h"
#include "sim_options.h"
#include "sim_wire.h"

namespace {

// A case whose bytes are a valid frame (the others name their FrameFault).
constexpr int kFrameValid = 1;

using Bytes = std::vector<uint8_t>;

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Record(uint32_t offset, Bytes data, uint32_t kind = 2) {
  Bytes r = Le32(kind);
  for (auto part : {Le32(offset), Le32(uint32_t(data.size())), data}) r.insert(r.end(), part.begin(), part.end());
  return r;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

SimImage& FreshImage(bool pattern = false) {
  static SimImage image;
  ResetSimImage(image, pattern);
  return image;
}

TEST(ServerSimCommand, ParsesEveryCommand) {
  char error[kCommandErrorSize];
  Command c;
  ASSERT_EQ(1, ParseCommand("pause blocks", &c, error));
  EXPECT_EQ(CommandKind::kPause, c.kind);
  EXPECT_EQ(kStreamBlocks, c.streams);
  ASSERT_EQ(1, ParseCommand("  resume all  # everything\r\n", &c, error));
  EXPECT_EQ(CommandKind::kResume, c.kind);
  EXPECT_EQ(kStreamAll, c.streams);
  ASSERT_EQ(1, ParseCommand("rate updates 1000", &c, error));
  EXPECT_EQ(kStreamUpdates, c.streams);
  EXPECT_EQ(1000.0, c.rate);
  ASSERT_EQ(1, ParseCommand("split", &c, error));
  EXPECT_EQ(kDefaultSplitDelayMs, c.delayMs);
  EXPECT_EQ(0u, c.splitAt);
  ASSERT_EQ(1, ParseCommand("split 0 3", &c, error));
  EXPECT_EQ(0u, c.delayMs);
  EXPECT_EQ(3u, c.splitAt);
  ASSERT_EQ(1, ParseCommand("coalesce", &c, error));
  EXPECT_EQ(2u, c.count);
  ASSERT_EQ(1, ParseCommand("bad multicast truncated", &c, error));
  EXPECT_EQ(Transport::kMulticast, c.transport);
  EXPECT_EQ(BadKind::kTruncated, c.bad);
  ASSERT_EQ(1, ParseCommand("set 0x0274=0x4000", &c, error));
  EXPECT_EQ(0x274u, c.offset);
  EXPECT_EQ(0x4000u, c.value);
  EXPECT_EQ(2u, c.size) << "the smallest size that holds the value";
  ASSERT_EQ(1, ParseCommand("set 100=1:4", &c, error));
  EXPECT_EQ(100u, c.offset) << "decimal, not octal or hex";
  EXPECT_EQ(4u, c.size);
  ASSERT_EQ(1, ParseCommand("counter 0x1FFFE:2:-3", &c, error));
  EXPECT_EQ(0x1FFFEu, c.offset);
  EXPECT_EQ(-3, c.step);
  ASSERT_EQ(1, ParseCommand("wave 0x6004:4:-500:9000:2.5", &c, error));
  EXPECT_EQ(CommandKind::kWave, c.kind);
  EXPECT_EQ(0x6004u, c.offset);
  EXPECT_EQ(4u, c.size);
  EXPECT_EQ(-500, c.low);
  EXPECT_EQ(9000, c.high);
  EXPECT_EQ(2.5, c.period);
  ASSERT_EQ(1, ParseCommand("wave 0x10:1:-128:255:1", &c, error)) << "a byte holds -128 and 255";
  ASSERT_EQ(1, ParseCommand("tag 0xFADE", &c, error));
  EXPECT_EQ(0xFADE, c.tag);
  ASSERT_EQ(1, ParseCommand("tag cycle", &c, error));
  EXPECT_EQ(0, c.tag);
  for (const char* bare : {"close", "reset", "unlisten", "listen", "drop", "keep", "noapply", "apply", "nocounters",
                           "status", "quit"})
    EXPECT_EQ(1, ParseCommand(bare, &c, error)) << bare;
  for (const char* nothing : {"", "   ", "# a comment", "\r\n"}) EXPECT_EQ(0, ParseCommand(nothing, &c, error));
}

TEST(ServerSimCommand, RefusesBadLinesWithAReason) {
  const char* bad[] = {
      "pause", "pause beacon", "rate all 5", "rate blocks -1", "rate blocks fast", "close now",
      "split 20000", "split 10 0", "coalesce 1", "coalesce 17", "bad udp short", "bad tcp long",
      "bad unicast blocksize", "set 0x20000=1", "set 0x1FFFF=0x100", "set 0x1FFFE=1:4", "set 5=1:3",
      "set 0x10", "set 010=0xZZ", "counter 0x100:3:1", "counter 0x100:2", "counter 0x1FFFF:2:1",
      "tag 0x1234", "jump", "pause blocks now please",
      "wave 0x100:2:0:10", "wave 0x100:3:0:10:1", "wave 0x1FFFF:2:0:10:1", "wave 0x100:2:10:10:1",
      "wave 0x100:2:10:0:1", "wave 0x100:1:0:256:1", "wave 0x100:1:-129:0:1", "wave 0x100:2:0:10:0",
      "wave 0x100:2:0:10:-1", "wave 0x100:2:0:10:1s", "wave 0x100:2:0:10:90000",
  };
  for (const char* line : bad) {
    char error[kCommandErrorSize] = "";
    Command c;
    EXPECT_EQ(-1, ParseCommand(line, &c, error)) << line;
    EXPECT_NE('\0', error[0]) << line;
  }
}

int Parse(std::vector<const char*> args, SimOptions* o, char* error) {
  args.insert(args.begin(), "server_sim");
  return ParseOptions(int(args.size()), const_cast<char**>(args.data()), o, error);
}

TEST(ServerSimOptions, TakesTheCommandLine) {
  SimOptions o;
  char error[kOptionErrorSize] = "";
  ASSERT_EQ(kOptionsRun, Parse({"--address", "10.1.2.3", "--blocks", "6,10", "--tag", "0x1B2C", "--pattern",
                                "--set", "0x100=7", "--no-listen", "--drop", "--no-apply", "--pause", "beacons",
                                "--block-rate", "50", "--duration", "2.5", "--region", "255", "--wave", "0x6000:2:40:180:20"},
                               &o, error))
      << error;
  EXPECT_EQ("10.1.2.3", o.address);
  EXPECT_EQ((1u << 6) | (1u << 10), o.blockTypes);
  EXPECT_TRUE(o.pattern);
  EXPECT_EQ(50.0, o.blockHz);
  EXPECT_EQ(2.5, o.duration);
  EXPECT_EQ(255, o.upperRegion);
  EXPECT_EQ((std::vector<std::string>{"tag 0x1B2C", "set 0x100=7", "unlisten", "drop", "noapply", "pause beacons",
                                      "wave 0x6000:2:40:180:20"}),
            o.startCommands);

  const struct {
    std::vector<const char*> args;
    int result;
  } cases[] = {
      {{"--help"}, kOptionsHelp},
      {{"--address", "10.0.0.1", "-h"}, kOptionsHelp},
      {{}, kOptionsError},
      {{"--address"}, kOptionsError},
      {{"--address", "10.0.0"}, kOptionsError},
      {{"--address", "10.0.0.256"}, kOptionsError},
      {{"--address", "10.0.0.1", "--client", "host"}, kOptionsError},
      {{"--address", "10.0.0.1", "--blocks", "5"}, kOptionsError},
      {{"--address", "10.0.0.1", "--beacon-rate", "-2"}, kOptionsError},
      {{"--address", "10.0.0.1", "--set", "0x30000=1"}, kOptionsError},
      {{"--address", "10.0.0.1", "--region", "0"}, kOptionsError},
      {{"--address", "10.0.0.1", "--frobnicate", "1"}, kOptionsError},
      {{"--address", "10.0.0.1", "stray"}, kOptionsError},
  };
  for (const auto& c : cases) {
    SimOptions fresh;
    char message[kOptionErrorSize] = "";
    const int got = Parse(c.args, &fresh, message);
    EXPECT_EQ(c.result, got) << (c.args.empty() ? "(none)" : c.args[0]);
    if (got == kOptionsError) {
      EXPECT_NE('\0', message[0]);
    }
  }
  EXPECT_NE(std::string::npos, HelpText().find("--address A"));
  EXPECT_NE(std::string::npos, HelpText().find("bad tcp|unicast|multicast"));
}

TEST(ServerSimImage, UpdateRecordsCarryChangedBytesOnce) {
  SimImage& m = FreshImage();
  ASSERT_EQ(1, SetImageValue(m, 0x0274, 0x0100, 2));  // low byte stays 0: only 0x0275 changes
  ASSERT_EQ(1, SetImageValue(m, 0x1FFFF, 0xAB, 1));
  ASSERT_EQ(1, SetImageValue(m, 0x0275, 0x01, 1));    // no change: no second record
  EXPECT_EQ(0, SetImageValue(m, 0x1FFFF, 0x1234, 2)) << "runs past the image";
  uint8_t records[4 * kUpdateRecordSize];
  ASSERT_EQ(2u, TakeUpdateRecords(m, 0xFF, records, 4));
  const uint8_t expected[] = {0, 0, 0x75, 0x02, 0x01, 0, 0xFF, 0, 0xFF, 0xFF, 0xAB, 0};
  EXPECT_EQ(0, std::memcmp(expected, records, sizeof expected));
  EXPECT_EQ(0u, TakeUpdateRecords(m, 1, records, 4)) << "taken records are no longer dirty";

  for (uint32_t o = 0; o < 5; ++o) SetImageValue(m, 0x10000 + o, 1, 1);
  EXPECT_EQ(3u, TakeUpdateRecords(m, 1, records, 3));
  EXPECT_EQ(0x02, records[2 * kUpdateRecordSize + 2]) << "in the order they changed";
  EXPECT_EQ(2u, TakeUpdateRecords(m, 1, records, 3)) << "the rest in the next frame";
  EXPECT_EQ(0x03, records[2]);
}

TEST(ServerSimImage, CountersStepAndWrap) {
  SimImage& m = FreshImage();
  ASSERT_EQ(1, AddCounter(m, Counter{0x100, 1, 1}));
  ASSERT_EQ(1, AddCounter(m, Counter{0x200, 2, -1}));
  ASSERT_EQ(1, AddCounter(m, Counter{0x1FFFC, 4, 0x10000}));
  EXPECT_EQ(0, AddCounter(m, Counter{0x1FFFF, 2, 1}));
  EXPECT_EQ(0, AddCounter(m, Counter{0x300, 3, 1}));
  SetImageValue(m, 0x100, 0xFF, 1);
  StepCounters(m);
  EXPECT_EQ(0x00, m.bytes[0x100]);
  EXPECT_EQ(0x00, m.bytes[0x101]) << "a 1-byte counter stays in its byte";
  EXPECT_EQ(0xFF, m.bytes[0x200]);
  EXPECT_EQ(0xFF, m.bytes[0x201]);
  StepCounters(m);
  EXPECT_EQ(0x01, m.bytes[0x100]);
  EXPECT_EQ(0xFE, m.bytes[0x200]);
  EXPECT_EQ(0x02, m.bytes[0x1FFFE]);
  EXPECT_EQ(0x00, m.bytes[0x1FFFC]);
}

TEST(ServerSimImage, WavesFollowTheirSineWithinBounds) {
  SimImage& m = FreshImage();
  ASSERT_EQ(1, AddWave(m, Wave{0x100, 2, 40, 180, 20}));
  ASSERT_EQ(1, AddWave(m, Wave{0x200, 1, -100, 100, 4}));
  ASSERT_EQ(1, AddWave(m, Wave{0x1FFFC, 4, 0, 1, 1}));
  EXPECT_EQ(0, AddWave(m, Wave{0x1FFFF, 2, 0, 1, 1}));
  EXPECT_EQ(0, AddWave(m, Wave{0x300, 3, 0, 1, 1}));
  EXPECT_EQ(0, AddWave(m, Wave{0x300, 2, 5, 5, 1}));
  EXPECT_EQ(0, AddWave(m, Wave{0x300, 2, 0, 5, 0}));
  const struct {
    double seconds;
    uint32_t first;  // 40..180 over 20 s
    uint8_t second;  // -100..100 over 4 s, two's complement
  } cases[] = {
      {0, 110, 0}, {5, 180, 100}, {10, 110, 0}, {15, 40, uint8_t(-100)}, {20, 110, 0}, {25, 180, 100},
      {2.5, 159, uint8_t(-71)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    StepWaves(m, c.seconds);
    EXPECT_EQ(c.first, m.bytes[0x100] | uint32_t(m.bytes[0x101]) << 8);
    EXPECT_EQ(c.second, m.bytes[0x200]);
    EXPECT_LE(m.bytes[0x1FFFC], 1);
  }
  EXPECT_GT(m.dirtyCount, 0u) << "the update frames carry what the waves changed";
}

TEST(ServerSimImage, BlocksCarryTheirQuarter) {
  SimImage& m = FreshImage(true);
  static uint8_t payload[kDataBlockSize];
  for (uint32_t type = kTypeFirstBlock; type <= kTypeLastBlock; ++type) {
    CopyBlockPayload(m, type, payload);
    const uint32_t base = (type - kTypeFirstBlock) * kDataBlockSize;
    EXPECT_EQ(PatternByte(base), payload[0]);
    EXPECT_EQ(PatternByte(base + kDataBlockSize - 1), payload[kDataBlockSize - 1]);
  }
  // The fill tells every quarter apart, so a block applied at the wrong base shows.
  for (uint32_t q = 1; q < 8; ++q)
    EXPECT_NE(0, std::memcmp(m.bytes, m.bytes + q * kDataBlockSize, kDataBlockSize)) << "quarter " << q;
}

TEST(ServerSimBatch, ChecksAndAppliesWriteBatches) {
  const struct {
    const char* name;
    Bytes payload;
    int records;
  } cases[] = {
      {"one record of 4 bytes", Cat({Record(0x100, {1, 2, 3, 4}), Le32(0)}), 1},
      {"two records", Cat({Record(0x10, {9}), Record(0x1FFFE, {7, 8}), Le32(0)}), 2},
      {"a record of 0 bytes", Cat({Record(0x5, {}), Le32(0)}), 1},
      {"only the end marker", Le32(0), 0},
      {"bytes after the end marker", Cat({Record(0x5, {1}), Le32(0), {0xAA}}), 1},
      {"no end marker", Record(0x100, {1}), -1},
      {"end marker cut", Cat({Record(0x100, {1}), {0, 0}}), -1},
      {"kind 1 (a read)", Cat({Record(0x100, {1}, 1), Le32(0)}), -1},
      {"data past the frame", Cat({Le32(2), Le32(0x100), Le32(9), {1, 2}}), -1},
      {"size near 2^32", Cat({Le32(2), Le32(0x100), Le32(0xFFFFFFF8), Le32(0)}), -1},
      {"past the image", Cat({Record(0x1FFFF, {1, 2}), Le32(0)}), -1},
      {"header cut", Cat({Le32(2), Le32(0x100)}), -1},
      {"empty", {}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimImage& m = FreshImage();
    const char* why = nullptr;
    EXPECT_EQ(c.records, CheckWriteBatch(c.payload.data(), uint32_t(c.payload.size()), &why));
    if (c.records < 0) {
      EXPECT_NE(nullptr, why);
      EXPECT_EQ(-1, ApplyWriteBatch(m, c.payload.data(), uint32_t(c.payload.size())));
      continue;
    }
    ASSERT_EQ(c.records, ApplyWriteBatch(m, c.payload.data(), uint32_t(c.payload.size())));
    for (int i = 0; i < c.records; ++i) {
      const WriteRecord r = BatchRecord(c.payload.data(), uint32_t(i));
      EXPECT_EQ(0, std::memcmp(m.bytes + r.offset, r.data, r.size));
    }
    uint8_t records[kUpdateRecordSize];
    EXPECT_EQ(0u, TakeUpdateRecords(m, 1, records, 1)) << "written values come back through blocks only";
  }
}

// Each broken frame does to the client's validation what its name says.
TEST(ServerSimWire, BrokenFramesFailTheWayTheyShould) {
  const struct {
    Transport t;
    BadKind kind;
    int check;          // what ValidateFrame says for the receiver on t
    uint32_t typeSeen;  // for kFrameValid: the type the receiver must refuse
  } cases[] = {
      {Transport::kTcp, BadKind::kShort, kFrameShort, 0},
      {Transport::kTcp, BadKind::kSize, kFrameBadFooter, 0},
      {Transport::kTcp, BadKind::kTag, kFrameBadFooter, 0},
      {Transport::kTcp, BadKind::kType, kFrameValid, kTypeWriteBatch},
      {Transport::kTcp, BadKind::kTruncated, kFrameBadFooter, 0},
      {Transport::kTcp, BadKind::kBlockSize, kFrameValid, kTypeFirstBlock},
      {Transport::kUnicast, BadKind::kShort, kFrameShort, 0},
      {Transport::kUnicast, BadKind::kSize, kFrameBadFooter, 0},
      {Transport::kUnicast, BadKind::kTag, kFrameBadFooter, 0},
      {Transport::kUnicast, BadKind::kType, kFrameValid, kTypeBeacon},
      {Transport::kUnicast, BadKind::kTruncated, kFrameBadFooter, 0},
      {Transport::kMulticast, BadKind::kShort, kFrameShort, 0},
      {Transport::kMulticast, BadKind::kSize, kFrameBadFooter, 0},
      {Transport::kMulticast, BadKind::kTag, kFrameBadFooter, 0},
      {Transport::kMulticast, BadKind::kType, kFrameValid, kTypeUpdate},
      {Transport::kMulticast, BadKind::kTruncated, kFrameBadFooter, 0},
  };
  static uint8_t out[kMaxFrameSize];
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "transport " << int(c.t) << " kind " << int(c.kind));
    const uint32_t n = BuildBadFrame(c.t, c.kind, out);
    ASSERT_GT(n, 0u);
    const FrameReceiver& who =
        c.t == Transport::kTcp ? kTcpFrames : c.t == Transport::kUnicast ? kUnicastFrames : kMulticastFrames;
    Frame f{};
    BadFrame bad{};
    EXPECT_EQ(c.check == kFrameValid ? Outcome::kDone : Outcome::kBadInput, ValidateFrame(out, int(n), who, &f, &bad));
    if (c.check == kFrameValid)
      EXPECT_EQ(c.typeSeen, f.type);
    else
      EXPECT_EQ(c.check, bad.check);
    if (c.kind == BadKind::kBlockSize) {
      EXPECT_NE(kDataBlockSize, f.size);
    }
  }
  EXPECT_EQ(0u, BuildBadFrame(Transport::kUnicast, BadKind::kBlockSize, out));
}

TEST(ServerSimControl, HandsOutWholeLinesOnly) {
  std::string partial;
  std::vector<std::string> lines;
  TakeLines(partial, "pause bl", 8, &lines);
  EXPECT_TRUE(lines.empty());
  TakeLines(partial, "ocks\r\nquit\n\nset 1", 17, &lines);
  EXPECT_EQ((std::vector<std::string>{"pause blocks", "quit", ""}), lines);
  EXPECT_EQ("set 1", partial);
}

TEST(ServerSimJournal, WritesTheWholeFrameAndEachRecord) {
  const std::string path = testing::TempDir() + "server_sim_journal.txt";
  Journal j;
  ASSERT_EQ(1, OpenJournal(j, path));
  const Bytes payload = Cat({Record(0x10400, {0xC1, 0xC2}), Le32(0)});
  uint8_t frame[64];
  const uint32_t n = BuildWriteBatchFrame(payload.data(), uint32_t(payload.size()), frame, sizeof frame);
  JournalBatch(j, frame, n, payload.data(), 1, 1765000000123456789u);
  JournalBad(j, "type=20", nullptr, 0);
  CloseJournal(j);
  FILE* in = std::fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, in);
  char text[256] = "";
  text[std::fread(text, 1, sizeof text - 1, in)] = '\0';
  std::fclose(in);
  EXPECT_STREQ(
      "batch 1 28 120012000000" "02000000" "00040100" "02000000" "c1c2" "00000000" "1200feaf\n"
      "time 1 1765000000123456789\n"
      "write 1 0x10400 2 c1c2\n"
      "bad 2 type=20\n",
      text);
  std::remove(path.c_str());
}

}  // namespace
