// The request walker on request areas built here, with a fake write-batch
// sender at the link seam and the real logs in a temporary folder. Each area
// is walked from an allocation of exactly its size, so a read or write past
// its end is caught by the address sanitizer build.
#include "ipc/request_walker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "ipc/request_log_entry.h"
#include "link/link_flags.h"

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

using Bytes = std::vector<uint8_t>;

// The sender at the link seam: keeps the last batch in static storage (so it
// allocates nothing) and answers with a chosen result.
struct FakeLink {
  int reply = 1;
  bool dropsLink = false;  // the link goes down during the send (as the link's sender does on a failure)
  int calls = 0;
  uint32_t size = 0;
  uint8_t batch[kBatchBufferSize];
} fake;

int FakeSend(const uint8_t* batch, uint32_t size) {
  ++fake.calls;
  fake.size = size;
  std::memcpy(fake.batch, batch, size < kBatchBufferSize ? size : kBatchBufferSize);
  if (fake.dropsLink) linkUp.store(0);
  return fake.reply;
}

Bytes SentBatch() { return Bytes(fake.batch, fake.batch + fake.size); }

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b.at(at) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}

// Builds a request area record by record and remembers where each starts.
struct Request {
  Bytes area;
  std::vector<size_t> starts;

  Request& Read(uint32_t offset, uint32_t n, uint32_t clientField = 0xC11E47F1) {
    starts.push_back(area.size());
    Put32(area, kReadKind), Put32(area, offset), Put32(area, n), Put32(area, clientField);
    area.insert(area.end(), n, 0xEE);
    return *this;
  }
  Request& Write(uint32_t offset, const Bytes& data) {
    starts.push_back(area.size());
    Put32(area, kWriteKind), Put32(area, offset), Put32(area, uint32_t(data.size()));
    area.insert(area.end(), data.begin(), data.end());
    return *this;
  }
  Request& Head(uint32_t kind, uint32_t offset, uint32_t n) {  // a head whose data the view lacks
    starts.push_back(area.size());
    Put32(area, kind), Put32(area, offset), Put32(area, n);
    if (kind == kReadKind) Put32(area, 0);
    return *this;
  }
  Request& Word(uint32_t v) {  // a raw head field, e.g. a kind of its own
    starts.push_back(area.size());
    Put32(area, v);
    return *this;
  }
  Request& End() { return Word(0); }
  Request& Cut(size_t bytes) {  // the view ends this many bytes earlier
    area.resize(area.size() - bytes);
    return *this;
  }
  Bytes RecordBytes(size_t record, size_t n) const {
    return Bytes(area.begin() + starts.at(record), area.begin() + starts.at(record) + n);
  }
  Bytes ReadData(size_t record) const {
    const uint32_t n = Get32(area, starts.at(record) + 8);
    return Bytes(area.begin() + starts.at(record) + kReadHeadSize,
                 area.begin() + starts.at(record) + kReadHeadSize + n);
  }
};

int Walk(Request& r) {
  const size_t size = r.area.size();
  std::unique_ptr<uint8_t[]> view(new uint8_t[size]);
  std::copy(r.area.begin(), r.area.end(), view.get());
  const int result = WalkRequest(view.get(), size, FakeSend);
  std::copy(view.get(), view.get() + size, r.area.begin());
  return result;
}

Bytes Image(uint32_t offset, uint32_t n) {
  Bytes b(n);
  ReadImageBytes(offset, n, b.data());
  return b;
}

void SetImage(uint32_t offset, const Bytes& values) {  // as the server would, through update records
  Bytes records;
  for (size_t i = 0; i < values.size(); ++i) {
    const uint32_t o = offset + uint32_t(i);
    records.insert(records.end(), {uint8_t(o >= 0x10000), 0, uint8_t(o), uint8_t(o >> 8), values[i], 0});
  }
  ApplyUpdateRecords(records.data(), uint32_t(values.size()));
}

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Walker : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    CloseEventLog();
    std::remove(eventPath.c_str());
    std::remove(requestPath.c_str());
  }

  // Fresh logs, image, counters and link for the next case.
  void Reset() {
    CloseEventLog();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string stem = ::testing::TempDir() + "kv_walker_" + info->name() + "_" + std::to_string(getpid());
    eventPath = stem + ".txt";
    requestPath = stem + ".log";
    ASSERT_EQ(1, OpenLogs(eventPath.c_str(), requestPath.c_str()));
    header = FileText(requestPath);
    InitOffsetImage();
    requestCount = 0, readByteCount = 0, writeByteCount = 0;
    readLogging = 0, writeLogging = 0;
    linkUp = 1;
    fake.reply = 1, fake.dropsLink = false, fake.calls = 0, fake.size = 0;
  }

  // The request log after its header, with CR LF as written.
  std::string RequestLog() { return FileText(requestPath).substr(header.size()); }

  // The event log's lines without their timestamps; closes the log.
  std::vector<std::string> EventLines() {
    CloseEventLog();
    std::vector<std::string> lines;
    std::istringstream in(FileText(eventPath));
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ('\r', line.back());
      lines.push_back(line.substr(13, line.size() - 14));
    }
    return lines;
  }

  std::string eventPath, requestPath, header;
};

TEST_F(Walker, EmptyRequestCountsOnlyWithTheLinkUp) {
  const struct { uint32_t link; int result; uint32_t counted; } cases[] = {{1, 1, 1}, {0, 3, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    requestCount = 0;
    linkUp = c.link;
    Request r;
    r.End();
    const int result = Walk(r);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.link, uint32_t(RequestMessageResult(result)));
    EXPECT_EQ(c.counted, requestCount.load());
    EXPECT_EQ(c.link, linkUp.load());
  }
  EXPECT_EQ(0, fake.calls);
  EXPECT_EQ("", RequestLog());
  EXPECT_TRUE(EventLines().empty());
}

TEST_F(Walker, ReadsAreFilledWhileTheLinkIsDown) {
  linkUp = 0;
  SetImage(0x0274, {0x34, 0x12});
  SetImage(0x10000, {1, 2, 3});
  SetImage(0x1FFFF, {0x7F});
  Request r;
  r.Read(0x0274, 2, 0xAAAAAAAA).Read(0x10000, 3).Read(0x0100, 0).Read(0x1FFFF, 1, 0x12345678).End();
  const Bytes before = r.area;
  EXPECT_EQ(3, Walk(r));
  EXPECT_EQ((Bytes{0x34, 0x12}), r.ReadData(0));
  EXPECT_EQ((Bytes{1, 2, 3}), r.ReadData(1));
  EXPECT_EQ(Bytes{}, r.ReadData(2));
  EXPECT_EQ(Bytes{0x7F}, r.ReadData(3));
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(Get32(before, r.starts[i] + 12), Get32(r.area, r.starts[i] + 12)) << "client field of record " << i;
  EXPECT_EQ(6u, readByteCount.load());
  EXPECT_EQ(0u, requestCount.load());
  EXPECT_EQ(0, fake.calls);
  EXPECT_TRUE(EventLines().empty());
}

TEST_F(Walker, UnknownKindStopsTheWalk) {
  const struct { const char* name; bool afterWrite; uint32_t kind; } cases[] = {
      {"kind 3 after a read", false, 3},
      {"kind 3 after a write", true, 3},
      {"kind 0x100 after a read", false, 0x100},  // not 0: the whole 32-bit field counts
      {"kind 0x10002 after a write", true, 0x10002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SetImage(0x0274, {0x5A});
    Request r;
    if (c.afterWrite) r.Write(0x0100, {0xAB, 0xCD});
    else r.Read(0x0274, 1);
    r.Word(c.kind).Word(0x0274).Word(1).End();
    EXPECT_EQ(0, Walk(r));
    EXPECT_EQ(0u, Get32(r.area, r.starts[1])) << "the bad record's kind is cleared";
    if (c.afterWrite) {
      EXPECT_EQ((Bytes{0xAB, 0xCD}), Image(0x0100, 2));
      EXPECT_EQ(1, WritePending(0x0100));
      EXPECT_EQ(1, WritePending(0x0101));
      EXPECT_EQ(2u, writeByteCount.load());
    } else {
      EXPECT_EQ(Bytes{0x5A}, r.ReadData(0));
      EXPECT_EQ(1u, readByteCount.load());
    }
    EXPECT_EQ(0, fake.calls);
    EXPECT_EQ(0u, requestCount.load());
    EXPECT_EQ(1u, linkUp.load());
    EXPECT_EQ(Crlf("default-> FS6IPC_MESSAGE_FAILURE\n"), RequestLog());
    EXPECT_TRUE(EventLines().empty());
  }
}

TEST_F(Walker, WriteBatches) {
  const struct { const char* name; Request request; std::vector<size_t> batched; size_t batchSize; } cases[] = {
      {"one 4-byte write", Request().Write(0x0100, {1, 2, 3, 4}).End(), {0}, 20},
      {"writes of 1 and 2 bytes around a read", Request().Write(0x0200, {9}).Read(0x0300, 5).Write(0x0400, {7, 8}).End(),
       {0, 2}, 31},
      {"write kept from the image", Request().Write(0x330A, {0x55, 0x66}).End(), {0}, 18},
      {"empty write", Request().Write(0x0500, {}).End(), {0}, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Request earlier;  // leaves a longer batch behind in the buffer
    earlier.Write(0x0800, Bytes(200, 0xFF)).End();
    Walk(earlier);
    Request r = c.request;
    EXPECT_EQ(1, Walk(r));
    EXPECT_EQ(2, fake.calls);
    Bytes expected;
    for (size_t record : c.batched) {
      const Bytes rec = r.RecordBytes(record, kWriteHeadSize + Get32(r.area, r.starts[record] + 8));
      expected.insert(expected.end(), rec.begin(), rec.end());
    }
    expected.insert(expected.end(), 4, 0);
    EXPECT_EQ(c.batchSize, expected.size());
    EXPECT_EQ(expected, SentBatch());
    EXPECT_EQ(2u, requestCount.load());
    EXPECT_EQ((Bytes{0, 0}), Image(0x330A, 2)) << "0x330A is the server's alone";
  }
}

// The sender takes the link down when a batch fails (that, and its log line,
// is the link's part); the walker passes the result on and sends nothing more
// while the link is down.
TEST_F(Walker, AFailedSendEndsTheRequestWithItsResult) {
  const struct { const char* name; int reply, result; } cases[] = {
      {"sent short", 2, 2},
      {"send error", 3, 3},
      {"unknown sender result", 7, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    fake.reply = c.reply;
    fake.dropsLink = true;
    Request first, second;
    first.Write(0x0100, {1, 2}).End();
    second.Write(0x0100, {3, 4}).End();
    EXPECT_EQ(c.result, Walk(first));
    EXPECT_EQ(3, Walk(second));
    EXPECT_EQ(1, fake.calls) << "nothing is sent once the link is down";
    EXPECT_EQ(1u, requestCount.load()) << "the failed send is counted, the request after it not";
    EXPECT_EQ((Bytes{3, 4}), Image(0x0100, 2)) << "writes still reach the image";
    EXPECT_EQ(std::vector<std::string>{}, EventLines());
    EXPECT_EQ("", RequestLog());
  }
}

TEST_F(Walker, LogEntryFormat) {
  Bytes seq(40);
  for (size_t i = 0; i < seq.size(); ++i) seq[i] = uint8_t(i * 0x11 + 0x0A);
  const std::string pad(50, ' ');
  const struct { bool write; uint32_t count, offset, n; std::string text; } cases[] = {
      {false, 10, 0x0274, 4, " Req: 000010 READ  Offset: 0274 Bytes: 004 value: 0A 1B 2C 3D \n"},
      {true, 0, 0x0100, 0, " Req: 000000 WRITE Offset: 0100 Bytes: 000 value: \n"},
      {false, 999999, 0x10000, 1, " Req: 999999 READ  Offset: 10000 Bytes: 001 value: 0A \n"},
      {false, 7, 0x0000, 16,
       " Req: 000007 READ  Offset: 0000 Bytes: 016 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad + "\n"},
      {true, 1234567, 0xABCD, 17,
       " Req: 1234567 WRITE Offset: ABCD Bytes: 017 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad +
           "1A \n"},
      {false, 1, 0x1FFE0, 33,
       " Req: 000001 READ  Offset: 1FFE0 Bytes: 033 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad +
           "1A 2B 3C 4D 5E 6F 80 91 A2 B3 C4 D5 E6 F7 08 19 \n" + pad + "2A \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<char> out(RequestLogEntrySize(c.n));
    const size_t n = FormatRequestLogEntry(out.data(), c.write, c.count, c.offset, seq.data(), c.n);
    EXPECT_EQ(c.text, std::string(out.data(), n));
  }
  std::vector<char> out(RequestLogEntrySize(0));
  EXPECT_EQ(51u, FormatRequestLogEntry(out.data(), false, 0, 0xFFFF, seq.data(), 0)) << "head of 50 and the line feed";
}

TEST_F(Walker, LoggedRecordsShowTheImageAfterHandling) {
  for (int i = 0; i < 10; ++i) {
    Request r;
    r.End();
    Walk(r);
  }
  SetImage(0x0274, {0xDE, 0xAD, 0xBE, 0xEF});
  SetImage(0x330A, {0x12, 0x34});
  readLogging = 1;
  Request r;
  r.Read(0x0274, 4).Write(0x330A, {0x55, 0x66}).Write(0x0100, {0x01}).End();
  EXPECT_EQ(1, Walk(r));
  writeLogging = 1;
  readLogging = 0;
  Request w;
  w.Read(0x0274, 1).Write(0x330A, {0x55, 0x66}).Write(0x10000, {0xFE}).End();
  EXPECT_EQ(1, Walk(w));
  EXPECT_EQ(Crlf(" Req: 000010 READ  Offset: 0274 Bytes: 004 value: DE AD BE EF \n"
                 " Req: 000011 WRITE Offset: 330A Bytes: 002 value: 12 34 \n"  // the image's, not the client's
                 " Req: 000011 WRITE Offset: 10000 Bytes: 001 value: FE \n"),
            RequestLog());
}

TEST_F(Walker, LargestRecordsAreLoggedWhole) {
  readLogging = 1, writeLogging = 1;
  Request r;
  r.Read(0, kImageSize).Write(0x2000, Bytes(kBatchRecordLimit - kWriteHeadSize, 0x33)).End();
  EXPECT_EQ(1, Walk(r));
  const std::string log = RequestLog();
  // Heads of 53 and 52 characters (six- and five-digit sizes); on file each
  // line feed is CR LF.
  const size_t readEntry = 53 + 3 * kImageSize + 52 * (kImageSize / 16) + 2;
  const uint32_t w = kBatchRecordLimit - kWriteHeadSize;
  const size_t writeEntry = 52 + 3 * w + 52 * (w / 16) + 2;
  EXPECT_EQ(readEntry + writeEntry, log.size());
  EXPECT_EQ(" Req: 000000 WRITE Offset: 2000 Bytes: 32496 value: 33 33 ", log.substr(readEntry, 58));
}

TEST_F(Walker, BoundsBreakTheWalkLikeAnUnknownKind) {
  // Every case starts with a handled read of 0x0274 and a handled write at 0x0100.
  const auto start = [] { return Request().Read(0x0274, 1).Write(0x0100, {0xAB}); };
  const int kNoKind = -1;
  const struct { const char* name; Request request; int clearedRecord; const char* line; } cases[] = {
      {"read data beyond the view", start().Read(0x0200, 8).Cut(4), 2, "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 8"},
      {"write data beyond the view", start().Write(0x0200, {1, 2, 3}).Cut(1), 2,
       "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 3"},
      {"size wraps the view", start().Head(kReadKind, 0x0200, 0xFFFFFFFF).End(), 2,
       "mapping-> FS6IPC_MESSAGE_FAILURE Offset: 0200 Bytes: 4294967295"},
      {"read head cut off", start().Word(kReadKind).Word(0x0200).Word(4), 2, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"write head cut off", start().Word(kWriteKind).Word(0x0200), 2, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"kind cut off", start().Word(0).Cut(1), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"no end of list", start(), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"empty view", Request(), kNoKind, "end-> FS6IPC_MESSAGE_FAILURE"},
      {"read beyond the image", start().Read(0x1FFFF, 2).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: 1FFFF Bytes: 2"},
      {"read offset wraps", start().Read(0xFFFFFFFF, 2).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: FFFFFFFF Bytes: 2"},
      {"empty read past the image", start().Read(0x20000, 0).End(), 2, "image-> FS6IPC_MESSAGE_FAILURE Offset: 20000 Bytes: 0"},
      {"write beyond the image", start().Write(0x1FFFC, Bytes(8, 1)).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: 1FFFC Bytes: 8"},
      {"write offset wraps", start().Write(0xFFFFFFF0, Bytes(16, 1)).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: FFFFFFF0 Bytes: 16"},
      {"empty write past the image", start().Write(0x20000, {}).End(), 2,
       "image-> FS6IPC_MESSAGE_FAILURE Offset: 20000 Bytes: 0"},
      {"batch overflows", start().Write(0x1000, Bytes(kBatchRecordLimit - 2 * kWriteHeadSize, 2)).End(), 2,
       "batch-> FS6IPC_MESSAGE_FAILURE Offset: 1000 Bytes: 32484"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SetImage(0x0274, {0x5A});
    Request r = c.request;
    const Bytes before = r.area;
    EXPECT_EQ(0, Walk(r));
    Bytes expected = before;
    if (!r.starts.empty()) {  // the two records in front stay handled
      expected[kReadHeadSize] = 0x5A;
      EXPECT_EQ((Bytes{0xAB}), Image(0x0100, 1));
      EXPECT_EQ(1u, readByteCount.load());
      EXPECT_EQ(1u, writeByteCount.load());
    }
    if (c.clearedRecord != kNoKind) std::fill_n(expected.begin() + r.starts[c.clearedRecord], 4, 0);
    EXPECT_EQ(expected, r.area) << "only the handled read's data and the bad kind change";
    EXPECT_EQ(Bytes(16, 0), Image(0x0200, 16));
    EXPECT_EQ(Bytes(16, 0), Image(0x1FFF0, 16));
    EXPECT_EQ(Bytes(16, 0), Image(0x1000, 16));
    EXPECT_EQ(0, fake.calls);
    EXPECT_EQ(0u, requestCount.load());
    EXPECT_EQ(1u, linkUp.load());
    EXPECT_EQ(Crlf(std::string(c.line) + "\n"), RequestLog());
  }
}

TEST_F(Walker, RecordsRightAtTheLimitsAreServed) {
  const struct { const char* name; Request request; uint32_t batchSize; } cases[] = {
      {"read of the image's last byte", Request().Read(0x1FFFF, 1).End(), 0},
      {"read of the whole image", Request().Read(0, kImageSize).End(), 0},
      {"write of the image's last byte", Request().Write(0x1FFFF, {9}).End(), 17},
      {"write records filling the batch",
       Request().Write(0x1000, Bytes(100, 1)).Write(0x2000, Bytes(kBatchRecordLimit - 2 * kWriteHeadSize - 100, 2)).End(),
       kBatchBufferSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Request r = c.request;
    EXPECT_EQ(1, Walk(r));
    EXPECT_EQ(c.batchSize != 0 ? 1 : 0, fake.calls);
    EXPECT_EQ(c.batchSize, fake.size);
    EXPECT_EQ("", RequestLog());
  }
}

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
    if (i == 4) fake.reply = 3, fake.dropsLink = true;  // and a failed send
    WalkRequest(views[i].get(), order[i]->area.size(), FakeSend);
  }
  TakeDataBlock(6, block.data());  // with shadow marks from the writes
  TakeDataBlock(8, block.data());  // without
  ApplyUpdateRecords(updates.data(), 100);
  const uint64_t calls = newCalls.load() - before;

  EXPECT_EQ(0u, calls);
  EXPECT_EQ(4, fake.calls);
  EXPECT_EQ(0u, linkUp.load());
}

}  // namespace
