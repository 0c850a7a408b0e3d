// The simulated server's commands: one line of text each, read from the
// control channel while it runs (or given on its command line), which script
// its image and inject its faults. Parsing is separate from carrying them
// out so that every line is checked the same way wherever it comes from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim_wire.h"

enum class CommandKind {
  kPause,       // pause STREAMS
  kResume,      // resume STREAMS
  kClose,       // close the connection in order (FIN)
  kReset,       // abort the connection (RST)
  kUnlisten,    // stop listening for connections
  kListen,      // listen again
  kDrop,        // drop: close each new connection at once, before any frame
  kKeep,        // keep: serve new connections again
  kNoApply,     // noapply: journal write batches without applying them
  kApply,       // apply: apply them again
  kSplit,       // split [MS [AT]]: the next data block in two sends, MS ms apart
  kCoalesce,    // coalesce [K]: the next K data blocks in one send
  kBad,         // bad TRANSPORT KIND: send one broken frame now
  kSet,         // set OFFSET=VALUE[:SIZE]
  kCounter,     // counter OFFSET:SIZE:STEP
  kWave,       // wave OFFSET:SIZE:LOW:HIGH:SECONDS
  kNoCounters,  // nocounters
  kRate,        // rate STREAM HZ
  kTag,         // tag TAG|cycle: the footer tag of data blocks
  kStatus,      // status: write the status file now
  kQuit,        // quit
};

// Stream bits of pause/resume/rate.
inline constexpr uint32_t kStreamBeacons = 1;
inline constexpr uint32_t kStreamBlocks = 2;
inline constexpr uint32_t kStreamUpdates = 4;
inline constexpr uint32_t kStreamAll = 7;

inline constexpr uint32_t kDefaultSplitDelayMs = 50;
inline constexpr size_t kCommandErrorSize = 160;

struct Command {
  CommandKind kind;
  uint32_t streams;    // pause, resume, rate
  double rate;         // rate: per second, 0 = off
  uint32_t delayMs;    // split
  uint32_t splitAt;    // split: bytes in the first send, 0 = half
  uint32_t count;      // coalesce
  Transport transport;  // bad
  BadKind bad;          // bad
  uint32_t offset;     // set, counter
  uint32_t size;       // set, counter
  uint64_t value;      // set
  int64_t step;        // counter
  int64_t low, high;   // wave
  double period;       // wave: seconds
  uint16_t tag;        // tag: 0 = cycle through the three block tags
};

// Parses one line. Returns 1 with *c filled, 0 for a blank or comment line
// ('#'), -1 with a message in error (kCommandErrorSize bytes) otherwise.
int ParseCommand(const char* line, Command* c, char* error);

// "OFFSET=VALUE[:SIZE]" and "OFFSET:SIZE:STEP", as --set and --counter take
// them. Numbers are decimal or 0x-hex. Return 1, or 0 with error filled.
int ParseSetArgument(const char* text, Command* c, char* error);
int ParseCounterArgument(const char* text, Command* c, char* error);

// Decimal or 0x-hex unsigned number that fills the whole text and is at
// most max. 1 with *out set, 0 otherwise.
int ParseUnsigned(const char* text, uint64_t max, uint64_t* out);

// The help text of the control commands (also printed by --help).
extern const char kCommandHelp[];
