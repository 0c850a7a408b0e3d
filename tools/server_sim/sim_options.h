// The simulated server's command line: addresses, rates, files, and the
// commands to run before it starts (--set, --counter, --pause, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kOptionErrorSize = 256;

struct SimOptions {
  std::string address;      // required: the server's own address (source of everything it sends)
  std::string client;       // where update frames go; empty: the connected client's address
  double beaconHz = 10;     // beacons per second, 0 = none
  double blockHz = 20;      // rounds per second of the data blocks in blockTypes, 0 = none
  double updateHz = 50;     // ticks per second: counters move, then one update frame for the changes
  uint32_t blockTypes = 0x7C0;  // bit t set: send data block type t (6..10)
  uint16_t blockTag = 0;    // 0 = cycle through 0x1A2B, 0x1B2C, 0xFADE
  uint8_t upperRegion = 1;  // Region byte of update records for offsets 0x10000 and above
  bool pattern = false;     // start with the PatternByte fill instead of zeros
  double duration = 0;      // seconds until it ends by itself, 0 = until "quit"
  std::string control;      // control channel: a file that is followed, or "-" for standard input
  std::string status;       // status file, rewritten several times a second
  std::string journal;      // journal of write batches
  std::string stamps;       // send times of the update frames, for latency benches
  uint16_t updatePort = 65100;  // where update frames go on the client
  bool quiet = false;       // no event lines on standard output
  std::vector<std::string> startCommands;  // command lines to carry out at start
};

// Result of ParseOptions.
inline constexpr int kOptionsRun = 1;    // options are complete: run
inline constexpr int kOptionsHelp = 2;   // --help: print the help text, exit 0
inline constexpr int kOptionsError = 0;  // error holds the message: print it, exit 2

int ParseOptions(int argc, char** argv, SimOptions* o, char* error);

// The full --help text (options and control commands).
std::string HelpText();
