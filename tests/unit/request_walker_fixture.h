// For the request walker's tests: request areas built record by record, a
// fake write-batch sender at the link seam that keeps the last batch in static
// storage, and the Walker fixture with the real logs in a temporary folder.
// Each area is walked from an allocation of exactly its size, so a read or
// write past its end is caught by the address sanitizer build.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "ipc/request_walker.h"

using Bytes = std::vector<uint8_t>;

// The sender at the link seam: keeps the last batch in static storage (so it
// allocates nothing) and answers with a chosen result.
struct FakeLink final : WriteBatchSender {
  std::atomic<uint32_t> up{1};
  Outcome reply = Outcome::kDone;
  bool dropsLink = false;  // the link goes down during the send (as the link's sender does on a failure)
  int calls = 0;
  uint32_t size = 0;
  uint8_t batch[kBatchBufferSize];

  bool LinkUp() override { return up.load() != 0; }
  Outcome Send(const uint8_t* sent, uint32_t n) override {
    ++calls;
    size = n;
    std::memcpy(batch, sent, n < kBatchBufferSize ? n : kBatchBufferSize);
    if (dropsLink) up.store(0);
    return reply;
  }
};
inline FakeLink fake;

inline Bytes SentBatch() { return Bytes(fake.batch, fake.batch + fake.size); }

inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline uint32_t Get32(const Bytes& b, size_t at) {
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

inline Outcome Walk(Request& r) {
  const size_t size = r.area.size();
  std::unique_ptr<uint8_t[]> view(new uint8_t[size]);
  std::copy(r.area.begin(), r.area.end(), view.get());
  const Outcome result = WalkRequest(view.get(), size, fake);
  std::copy(view.get(), view.get() + size, r.area.begin());
  return result;
}

inline Bytes Image(uint32_t offset, uint32_t n) {
  Bytes b(n);
  ReadImageBytes(offset, n, b.data());
  return b;
}

inline void SetImage(uint32_t offset, const Bytes& values) {  // as the server would, through update records
  Bytes records(values.size() * 6);
  for (size_t i = 0; i < values.size(); ++i) {
    const uint32_t o = offset + uint32_t(i);
    const uint8_t record[6] = {uint8_t(o >= 0x10000), 0, uint8_t(o), uint8_t(o >> 8), values[i], 0};
    std::copy(record, record + 6, records.begin() + ptrdiff_t(i * 6));
  }
  ApplyUpdateRecords(records.data(), uint32_t(values.size()));
}

inline std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline std::string FileText(const std::string& path) {
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
    ResetAccessCounts();
    readLogging = 0, writeLogging = 0;
    fake.up = 1;
    fake.reply = Outcome::kDone, fake.dropsLink = false, fake.calls = 0, fake.size = 0;
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
