// The control channel: a followed file or standard input.
#include "sim_control.h"

#include <deque>
#include <mutex>
#include <thread>

namespace {

std::mutex stdinLock;
std::deque<std::string> stdinLines;  // guarded by stdinLock

void ReadStdin() {
  char line[512];
  std::string partial;
  std::vector<std::string> lines;
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    TakeLines(partial, line, std::char_traits<char>::length(line), &lines);
    std::lock_guard<std::mutex> hold(stdinLock);
    for (auto& l : lines) stdinLines.push_back(std::move(l));
    lines.clear();
  }
}

}  // namespace

void TakeLines(std::string& partial, const char* text, size_t size, std::vector<std::string>* lines) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] != '\n') {
      partial.push_back(text[i]);
      continue;
    }
    if (!partial.empty() && partial.back() == '\r') partial.pop_back();
    lines->push_back(partial);
    partial.clear();
  }
}

int OpenControl(ControlChannel& c, const std::string& where) {
  if (where == "-") {
    c.useStdin = true;
    std::thread(ReadStdin).detach();
    return 1;
  }
  c.path = where;
  c.file = std::fopen(where.c_str(), "rb");
  if (c.file == nullptr) {
    FILE* made = std::fopen(where.c_str(), "ab");
    if (made == nullptr) return 0;
    std::fclose(made);
    c.file = std::fopen(where.c_str(), "rb");
  }
  return c.file != nullptr ? 1 : 0;
}

void PollControl(ControlChannel& c, std::vector<std::string>* lines) {
  if (c.useStdin) {
    std::lock_guard<std::mutex> hold(stdinLock);
    while (!stdinLines.empty()) {
      lines->push_back(std::move(stdinLines.front()));
      stdinLines.pop_front();
    }
    return;
  }
  if (c.file == nullptr) return;
  char buf[4096];
  std::fseek(c.file, c.position, SEEK_SET);  // also forgets an earlier end of file
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, c.file)) > 0) {
    c.position += long(got);
    TakeLines(c.partial, buf, got, lines);
  }
}

void CloseControl(ControlChannel& c) {
  if (c.file != nullptr) std::fclose(c.file);
  c.file = nullptr;
}
