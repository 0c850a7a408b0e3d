// For the link's tests: the event log on a file of its own, read back as
// lines without their CR LF ends and without the "HH:MM:SS:mmm " prefix.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/event_log.h"

class LinkLogCapture {
 public:
  LinkLogCapture() : dir_(std::filesystem::temp_directory_path() / ("kv_link_log_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    Restart();
  }
  ~LinkLogCapture() {
    CloseEventLog();
    std::filesystem::remove_all(dir_);
  }

  // Starts the event log afresh. 1 when it is open.
  int Restart() {
    CloseEventLog();
    return OpenLogs((dir_ / "events.txt").string().c_str(), (dir_ / "requests.log").string().c_str());
  }

  // What was logged since the last Restart. Closes the log.
  std::vector<std::string> Lines() {
    CloseEventLog();
    std::ifstream in(dir_ / "events.txt", std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      lines.push_back(line.size() >= 13 && line[2] == ':' && line[12] == ' ' ? line.substr(13) : line);
      at = end + 2;
    }
    return lines;
  }

 private:
  std::filesystem::path dir_;
};
