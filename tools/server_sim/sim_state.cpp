// The running server's state, its event and problem lines and its status
// file. All of it runs on the server's one thread.
#include "sim_state.h"

#include <cstdarg>
#include <filesystem>
#include <system_error>

Server server;
SimImage image;

double NowMs() { return std::chrono::duration<double, std::milli>(Clock::now() - server.start).count(); }

void Event(const char* format, ...) {
  if (server.opt.quiet) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::printf("[%9.3f] %s\n", NowMs() / 1000, line);
  std::fflush(stdout);
}

void Problem(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "server_sim: %s\n", line);
  std::fflush(stderr);
  ++server.stats.errors;
}

std::string Dotted(uint32_t a) {
  char text[kNetAddressTextSize];
  return NetFormatAddress(a, text);
}

void WriteStatus() {
  if (server.opt.status.empty()) return;
  const Stats& s = server.stats;
  char text[1024];
  std::snprintf(text, sizeof text,
                "running=%d\nlistening=%d\nconnected=%d\nclient=%s\npaused=%u\nbeacons=%llu\nblocks=%llu\n"
                "updates=%llu\nupdate_records=%llu\nbatches=%llu\nbad_received=%llu\nbad_sent=%llu\n"
                "splits=%llu\ncoalesced=%llu\nconnections=%llu\ncommands=%llu\nerrors=%llu\nuptime_ms=%.0f\n",
                server.running ? 1 : 0, server.listener != kNoSocket ? 1 : 0, server.conn != kNoSocket ? 1 : 0,
                server.conn != kNoSocket ? Dotted(server.connAddress).c_str() : "", server.paused,
                (unsigned long long)s.beacons, (unsigned long long)s.blocks, (unsigned long long)s.updates,
                (unsigned long long)s.updateRecords, (unsigned long long)s.batches,
                (unsigned long long)s.badReceived, (unsigned long long)s.badSent, (unsigned long long)s.splits,
                (unsigned long long)s.coalesced, (unsigned long long)s.connections,
                (unsigned long long)s.commands, (unsigned long long)s.errors, NowMs());
  // Written aside and renamed over the old one, so a reader never sees half.
  const std::string temp = server.opt.status + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text, f);
  std::fclose(f);
  std::error_code error;
  std::filesystem::rename(temp, server.opt.status, error);
  if (error) {
    // Under Wine a rename over a file that some process holds open is
    // refused; the old file goes first then, or the status would stay as it
    // was for as long as that lasts. A reader meanwhile finds no file.
    std::filesystem::remove(server.opt.status, error);
    std::filesystem::rename(temp, server.opt.status, error);
  }
}
