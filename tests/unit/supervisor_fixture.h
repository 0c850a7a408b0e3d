// For the supervisor's tests: a recording link, a recording window that
// formats what the link was given, a hand-advanced clock, and the
// SupervisorTest fixture, whose event log goes to a scratch file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "ipc/offset_image.h"
#include "ipc/image_access.h"
#include "link/connection_supervisor_tick.h"
#include "link/link_port.h"
#include "link/link_status.h"
#include "link/net.h"


using Lines = std::vector<std::string>;
inline const std::string kIdle = "UDP = 0 per/sec" + std::string(33, ' ');

inline uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};  // network order
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

struct FakeLink final : LinkPort {
  Lines calls;
  int openResult = 1, connectResult = 0;
  uint32_t server = Address(10, 0, 0, 2);
  uint32_t lastSender = Address(10, 9, 9, 9);
  int thisPcGone = 0, listenChanged = 0;
  std::atomic<uint32_t> up{0};
  bool beacons = false;  // the beacon receiver runs
  std::function<void()> onConnect;   // during the connection attempt
  std::function<void()> onStartTcp;  // as the link's receiver starts
  StatusBoard board;

  // As new: the calls, results and callbacks; the board keeps what it shows.
  void Reset() {
    calls.clear();
    openResult = 1, connectResult = 0, thisPcGone = 0, listenChanged = 0;
    server = Address(10, 0, 0, 2), lastSender = Address(10, 9, 9, 9);
    up = 0, beacons = false;
    onConnect = nullptr, onStartTcp = nullptr;
    board.Publish(LinkStatus{});
  }
  void Record(const std::string& call) { calls.push_back(call); }
  int Open(int quiet) override {
    Record(quiet ? "Open quietly" : "Open");
    beacons = openResult == 1;
    return openResult;
  }
  void FindServer() override {}
  ConnectResult Connect() override {
    if (onConnect) onConnect();
    char text[kNetAddressTextSize];
    Record(std::string("Connect ") + NetFormatAddress(server, text));
    if (connectResult == 0) return ConnectResult::kRefused;
    if (programRunning == 0) return ConnectResult::kStopping;
    up = 1;
    if (onStartTcp) onStartTcp();
    beacons = false;
    return ConnectResult::kUp;
  }
  uint32_t Server() override { return server; }
  uint32_t ShownSender() override { return server != 0 ? server : lastSender; }
  bool Up() override { return up != 0; }
  void TakeDown() override { up = 0; }
  void Close() override {
    Record("Close");
    up = 0, beacons = false;
  }
  void CopyServerHostName(char* out, size_t size) override { std::snprintf(out, size, "simhost"); }
  int LocalAddresses(uint32_t* out, int max) override {
    const int n = max < 2 ? max : 2;
    for (int i = 0; i < n; ++i) out[i] = NetParseAddress(i == 0 ? "10.0.0.7" : "192.168.5.9");
    return n;
  }
  int ThisPcGone(uint32_t* address) override {
    *address = Address(10, 0, 0, 7);
    return thisPcGone;
  }
  int ListenAddressesChanged() override { return listenChanged; }
  void Publish(const LinkStatus& status) override { board.Publish(status); }
};

// The lines as the window paints them from what the link was given.
inline std::string Line(const StatusBoard& board, StatusLineId id) {
  char text[kUdpLineSize];
  return std::string(text, FormatStatusLine(board.Snapshot(), id, text, sizeof text));
}

struct FakeWindow final : StatusWindowPort {
  const StatusBoard* board = nullptr;
  std::string shown[kStatusLineCount];  // the lines as of the last repaint
  std::string errorText, errorCaption;
  void RequestRepaint() override {
    for (int id = 0; id < kStatusLineCount; ++id) shown[id] = Line(*board, StatusLineId(id));
  }
  void ShowError(const char* text, const char* caption) override { errorText = text, errorCaption = caption; }
};

// Requests, read bytes and write bytes as the front ends count them.
inline void CountAccess(uint32_t requests, uint32_t readBytes, uint32_t writeBytes) {
  struct : WriteBatchSender {
    bool LinkUp() override { return true; }
    Outcome Send(const uint8_t*, uint32_t) override { return Outcome::kDone; }
  } sender;
  static WriteBatch batch;
  static uint8_t bytes[kImageSize];
  ReadSpan(0, readBytes, bytes);
  if (writeBytes != 0) batch.Add(0x0100, writeBytes, bytes);
  for (uint32_t i = 0; i < requests; ++i) batch.Finish(sender);
}

struct FakeClock final : SupervisorClock {
  uint64_t now = 0;
  std::function<void(uint64_t)> onSleep;
  uint64_t NowMs() override { return now; }
  void Sleep(uint32_t ms) override {
    now += ms;
    if (onSleep) onSleep(now);
  }
  // As the real clock: the shutdown (programRunning cleared by onSleep)
  // ends the sleep within a millisecond.
  void SleepWhileRunning(uint32_t ms) override {
    for (uint32_t slept = 0; slept < ms && programRunning != 0; ++slept) {
      ++now;
      if (onSleep) onSleep(now);
    }
  }
};

// Through two update records, which set image bytes whatever the shadow says.
inline void SetImageWord(uint32_t offset, uint16_t v) {
  const uint8_t records[2 * kUpdateRecordSize] = {
      uint8_t(offset >> 16), 0, uint8_t(offset), uint8_t(offset >> 8), uint8_t(v), 0,
      uint8_t((offset + 1) >> 16), 0, uint8_t(offset + 1), uint8_t((offset + 1) >> 8), uint8_t(v >> 8), 0};
  ApplyUpdateRecords(records, 2);
}

class SupervisorTest : public ::testing::Test {
 protected:
  FakeLink link;
  FakeWindow window;
  FakeClock clock;
  Supervisor s{&link, &window, &clock};
  std::string logPath = (std::filesystem::temp_directory_path() / ("kv_supervisor_" + std::to_string(getpid()))).string();

  void SetUp() override { Reset(); }
  void TearDown() override {
    CloseEventLog();
    std::filesystem::remove(logPath + ".txt"), std::filesystem::remove(logPath + ".log");
  }
  // A fresh start: used by SetUp and between the cases of one table.
  void Reset() {
    CloseEventLog();
    link.Reset();
    window = FakeWindow{}, clock = FakeClock{};
    window.board = &link.board;
    s = Supervisor{&link, &window, &clock};
    ResetAccessCounts();
    programRunning = 1;
    InitOffsetImage();
    ASSERT_EQ(1, OpenLogs((logPath + ".txt").c_str(), (logPath + ".log").c_str()));
  }
  // The event log so far, CR LF and the "HH:MM:SS:mmm " prefix taken off.
  Lines LogLines() {
    CloseEventLog();
    Lines out;
    std::ifstream in(logPath + ".txt");
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      out.push_back(l.size() > 13 && l[2] == ':' && l[8] == ':' ? l.substr(13) : l);
    }
    return out;
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) SupervisorTick(s);
  }
  void Connected() { s.shown.state = kUdpTcpConnected, link.up = 1; }
};
