// The two logs as files: the request-log header, CR LF line ends, the switch
// lines of the logging commands, whole lines from concurrent writers, no
// write to a log that is closed or failed to open, the cap of each file and
// the limit of lines a flood repeats.
#include "base/event_log.h"

#include "scratch_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kHeader[] = "Kestrovaline Version 2.0.0.0 log file\r\n\r\n";

class EventLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeScratchFolder("kv_event_log_");
    ASSERT_FALSE(dir_.empty());
    events_ = (dir_ / "Kestrovaline.txt").string();
    requests_ = (dir_ / "Kestrovaline.log").string();
    readLogging = 0;
    writeLogging = 0;
  }
  void TearDown() override {
    CloseEventLog();
    fs::remove_all(dir_);
  }

  fs::path dir_;
  std::string events_, requests_;
};

TEST_F(EventLog, OpeningEmptiesBothLogsAndWritesTheHeader) {
  std::ofstream(events_) << "old run\n";
  std::ofstream(requests_) << "old entries\n";
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  EXPECT_EQ(kHeader, ReadFile(requests_));
  LogEvent("Create FS98MAIN Window OK!\n");
  LogEvent("%s Closing connection status thread d\n", "23:59:59:999");
  CloseEventLog();
  LogEvent("after the close\n");
  CloseEventLog();  // a second close does nothing
  EXPECT_EQ("Create FS98MAIN Window OK!\r\n23:59:59:999 Closing connection status thread d\r\n", ReadFile(events_));
}

// A killed client leaves what it logged: each line is in the file, not in
// a buffer of the process, as soon as LogEvent returns.
TEST_F(EventLog, EachLineIsInTheFileAtOnce) {
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  LogEvent("%s Status INIT\n", "00:00:00:001");
  EXPECT_EQ("00:00:00:001 Status INIT\r\n", ReadFile(events_));
  LogEvent("%s Status NOT_CONNECTED\n", "00:00:00:002");
  EXPECT_EQ("00:00:00:001 Status INIT\r\n00:00:00:002 Status NOT_CONNECTED\r\n", ReadFile(events_));
}

TEST_F(EventLog, NothingIsWrittenWhenAnOpenFailed) {
  const std::string missing = (dir_ / "no such folder" / "x").string();
  const struct {
    const char* name;
    std::string events, requests;
    const char* eventsAfter;    // content of the event log file, or null if it must not exist
    const char* requestsAfter;  // likewise for the request log
  } cases[] = {
      {"event log folder missing", missing, requests_, nullptr, kHeader},
      {"request log folder missing", events_, missing, "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(events_);
    fs::remove(requests_);
    EXPECT_EQ(0, OpenLogs(c.events.c_str(), c.requests.c_str()));
    LogEvent("must not appear\n");
    CloseEventLog();
    EXPECT_EQ(c.eventsAfter != nullptr, fs::exists(events_));
    if (c.eventsAfter != nullptr) {
      EXPECT_EQ(c.eventsAfter, ReadFile(events_));
    }
    EXPECT_EQ(c.requestsAfter != nullptr, fs::exists(requests_));
    if (c.requestsAfter != nullptr) {
      EXPECT_EQ(c.requestsAfter, ReadFile(requests_));
    }
  }
}

TEST_F(EventLog, SwitchLinesNameTheStateAfterTheSwitch) {
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  const struct {
    void (*command)();
    uint32_t readAfter, writeAfter;
  } steps[] = {
      {ToggleReadLogging, 1, 0}, {ToggleReadLogging, 0, 0}, {ToggleWriteLogging, 0, 1},
      {ToggleReadLogging, 1, 1}, {ToggleWriteLogging, 1, 0},
  };
  for (const auto& s : steps) {
    s.command();
    EXPECT_EQ(s.readAfter, readLogging.load());
    EXPECT_EQ(s.writeAfter, writeLogging.load());
  }
  EXPECT_EQ(std::string(kHeader) +
                "Read logging ON\r\nRead logging OFF\r\nWrite logging ON\r\nRead logging ON\r\nWrite logging OFF\r\n",
            ReadFile(requests_));
  CloseEventLog();
  EXPECT_EQ("", ReadFile(events_));  // the switches never touch the event log
}

TEST_F(EventLog, RequestLogEntriesOfAnyLengthGetCrLf) {
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) {  // longer than any internal buffer
    const std::string piece = std::to_string(i) + (i % 7 == 0 ? "\n" : " ");
    text += piece;
    expected += i % 7 == 0 ? std::to_string(i) + "\r\n" : piece;
  }
  EXPECT_EQ(1, AppendRequestLog(text.c_str()));
  EXPECT_EQ(1, AppendRequestLog("a\n\nb", 3));
  EXPECT_EQ(kHeader + expected + "a\r\n\r\n", ReadFile(requests_));
}

TEST_F(EventLog, AnOverlongLineIsCutButKeepsItsLineEnd) {
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  const std::string big(10000, 'x');
  LogEvent("%s\n", big.c_str());
  LogEvent("next\n");
  CloseEventLog();
  const std::string got = ReadFile(events_);
  const size_t end = got.find("\r\n");
  ASSERT_NE(std::string::npos, end);
  EXPECT_LT(1000u, end);
  EXPECT_EQ(end, got.find_first_not_of('x'));
  EXPECT_EQ("next\r\n", got.substr(end + 2));
}

// Lines of several threads never mix within a line.
TEST_F(EventLog, LinesOfSeveralThreadsStayWhole) {
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
  constexpr int kThreads = 4, kLines = 400;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        const std::string filler(size_t((i * 37 + t * 11) % 300), char('a' + t));
        LogEvent("%d %d %s\n", t, i, filler.c_str());
      }
    });
  for (auto& w : writers) w.join();
  CloseEventLog();

  const std::string got = ReadFile(events_);
  std::map<int, int> next;  // per thread: the line number expected next
  size_t at = 0, lines = 0;
  while (at < got.size()) {
    const size_t end = got.find("\r\n", at);
    ASSERT_NE(std::string::npos, end);
    const std::string line = got.substr(at, end - at);
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "%d %d %n", &t, &i, &used)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(next[t]++, i);  // each thread's lines in its own order
    EXPECT_EQ(std::string(size_t((i * 37 + t * 11) % 300), char('a' + t)), line.substr(size_t(used))) << line;
    at = end + 2;
    ++lines;
  }
  EXPECT_EQ(size_t(kThreads * kLines), lines);
}

// Each file stops at its cap with one line that says so; nothing follows it.
TEST_F(EventLog, EachLogStopsAtItsCapWithOneLine) {
  constexpr uint64_t kCap = 4096;
  ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str(), kCap));
  const std::string entry = std::string(50, 'r') + "\n";
  for (int i = 0; i < 200; ++i) {
    LogEvent("%s line %03d of the event log\n", "00:00:00:000", i);
    AppendRequestLog(entry.c_str());
  }
  ToggleReadLogging();
  CloseEventLog();
  const struct { std::string path, stop; } files[] = {
      {events_, " Event log stops here: it reached its limit of 4096 bytes\r\n"},
      {requests_, "Request log stops here: it reached its limit of 4096 bytes\r\n"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.path);
    const std::string got = ReadFile(f.path);
    ASSERT_GE(got.size(), f.stop.size());
    EXPECT_EQ(f.stop, got.substr(got.size() - f.stop.size()));
    EXPECT_LE(got.size(), kCap + f.stop.size() + 12);
    EXPECT_GT(got.size(), kCap - 64) << "the log stopped early";
    EXPECT_EQ(1u, got.rfind(f.stop) == got.find(f.stop) ? 1u : 0u);
  }
  EXPECT_EQ(0, AppendRequestLog("after the stop\n"));
}

// A flood of one kind of line gives its first lines and no more; other kinds
// and ordinary lines still get through, and a new opening starts afresh.
TEST_F(EventLog, AFloodOfOneKindGivesItsFirstLines) {
  LineLimit floodEvents{"UDP bad messagetype"}, otherEvents{"TCP data wrong header"};
  LineLimit floodEntries{"default-> FS6IPC_MESSAGE_FAILURE"};
  for (int opening = 0; opening < 2; ++opening) {
    SCOPED_TRACE(opening);
    ASSERT_EQ(1, OpenLogs(events_.c_str(), requests_.c_str()));
    for (int i = 0; i < 5000; ++i) {
      LogEventLimited(floodEvents, "%s UDP bad messagetype %i\n", "00:00:00:000", i);
      AppendRequestLogLimited(floodEntries, "default-> FS6IPC_MESSAGE_FAILURE\n", 33);
    }
    LogEventLimited(otherEvents, "%s TCP data wrong header = %i\n", "00:00:00:000", 5);
    LogEvent("%s Status INIT\n", "00:00:00:000");
    CloseEventLog();
    std::string events;
    for (uint32_t i = 0; i < kFirstLines; ++i) events += "00:00:00:000 UDP bad messagetype " + std::to_string(i) + "\r\n";
    events += "00:00:00:000 TCP data wrong header = 5\r\n00:00:00:000 Status INIT\r\n";
    EXPECT_EQ(events, ReadFile(events_));
    std::string entries = kHeader;
    for (uint32_t i = 0; i < kFirstLines; ++i) entries += "default-> FS6IPC_MESSAGE_FAILURE\r\n";
    EXPECT_EQ(entries, ReadFile(requests_));
  }
}

}  // namespace
