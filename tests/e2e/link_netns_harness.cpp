// The harness of the link's tests across a real network (see the header).
#include "link_netns_harness.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "base/shared_flags.h"
#include "sim_image.h"

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char ch : text) {
    if (ch == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(ch);
    }
  }
  return lines;
}

int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const auto& l : lines) n += l.find(part) != std::string::npos;
  return n;
}

std::map<std::string, std::string> Sim::Status() const {
  std::map<std::string, std::string> values;
  for (const auto& line : SplitLines(ReadFile(status))) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

uint64_t Sim::Count(const char* key) const {
  const auto values = Status();
  const auto it = values.find(key);
  return it == values.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

bool Sim::RestorePattern(uint32_t offset, uint32_t size) {
  for (uint32_t o = offset; o < offset + size; ++o)
    if (!Do("set " + std::to_string(o) + "=" + std::to_string(PatternByte(o)) + ":1")) return false;
  return true;
}

bool Sim::Do(const std::string& line) {
  {
    std::ofstream out(control, std::ios::app | std::ios::binary);
    out << line << "\n";
  }
  ++sent;
  return WaitUntil([&] { return Count("commands") >= sent; });
}

NetSetup& Net() {
  static NetSetup s = [] {
    NetSetup n;
    n.local = Env("KV_LOCAL_IP");
    n.server = Env("KV_SERVER_IP");
    n.third = Env("KV_THIRD_IP");
    n.workDir = Env("KV_WORK_DIR");
    n.journal = Env("KV_SIM_JOURNAL");
    n.sim = Sim{Env("KV_SIM_CONTROL"), Env("KV_SIM_STATUS")};
    n.thirdSim = Sim{Env("KV_THIRD_CONTROL"), Env("KV_THIRD_STATUS")};
    n.ready = !n.local.empty() && !n.server.empty() && !n.workDir.empty() && !n.sim.control.empty();
    return n;
  }();
  return s;
}

uint32_t Activity() { return SampleLink().activity; }

uint8_t ImageByte(uint32_t o) {
  uint8_t b = 0;
  ReadImageBytes(o, 1, &b);
  return b;
}

bool ShadowClear(uint32_t offset, uint32_t size) {
  for (uint32_t o = offset; o < offset + size; ++o)
    if (WritePending(o)) return false;
  return true;
}

uint32_t FirstPatternMismatch(uint32_t from, uint32_t to) {
  static uint8_t copy[kImageSize];
  ReadImageBytes(from, to - from, copy);
  for (uint32_t o = from; o < to; ++o)
    if (copy[o - from] != PatternByte(o)) return o;
  return to;
}

bool UdpPortBound(uint16_t port) {
  char hexPort[8];
  std::snprintf(hexPort, sizeof hexPort, ":%04X ", port);
  for (const auto& line : SplitLines(ReadFile("/proc/net/udp"))) {
    const size_t local = line.find(':', line.find(':') + 1);  // after "sl:", the local address
    if (local != std::string::npos && line.compare(local, 6, hexPort) == 0) return true;
  }
  return false;
}

size_t ThreadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) n += entry.is_directory();
  return n;
}

LinkSession::LinkSession(const char* name) {
  const NetSetup& n = Net();
  InitOffsetImage();
  link_->Configure(n.local.c_str(), n.server.c_str());
  programRunning.store(1);
  logPath_ = n.workDir + "/" + name + ".txt";
  EXPECT_EQ(1, OpenLogs(logPath_.c_str(), (n.workDir + "/" + name + ".log").c_str()));
}

void LinkSession::OpenUdpSide(bool receiveBeacons) {
  ASSERT_EQ(1, link_->Open(0));
  if (!receiveBeacons) link_->Udp().StopBeacons();
}

bool LinkSession::SimIdle() { return WaitUntil([] { return Net().sim.Count("connected") == 0; }); }

void LinkSession::Connect() {
  ASSERT_TRUE(link_->ConnectTo(NetParseAddress(Net().server.c_str())).ok());
  link_->Tcp().SetUp();
  ASSERT_EQ(1, link_->Tcp().StartReceiver());
  ASSERT_TRUE(WaitUntil([] { return UdpPortBound(kUpdatePort); })) << "unicast receiver never bound port 65100";
}

const std::vector<std::string>& LinkSession::Close() {
  if (closed_) return lines_;
  closed_ = true;
  Bounded("closing the link", 3000, [this] { link_->Close(); });
  CloseEventLog();
  lines_ = SplitLines(ReadFile(logPath_));
  return lines_;
}
