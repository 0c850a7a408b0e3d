// The journal of the simulated server: every frame it receives over TCP, as
// text lines that a test can compare byte for byte with what the client
// sent. Lines, each ending in "\n" and flushed at once:
//   batch SEQ LENGTH HEX          a well-formed write batch, the whole frame
//   time SEQ UNIX_NS              when its last byte was received
//   write SEQ OFFSET SIZE HEX     each of its records (OFFSET as 0x%05X)
//   bad SEQ WHY...                anything else (the frame, if whole, as HEX)
// SEQ counts received frames from 1. Only the receiving path writes here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim_image.h"

struct Journal {
  FILE* file = nullptr;
  uint32_t seq = 0;
};

// Creates (empties) the journal file. 1, or 0 when it cannot be created.
int OpenJournal(Journal& j, const std::string& path);
void CloseJournal(Journal& j);

// Writes the lines of one received write batch (frame: the whole frame;
// the payload's records were accepted by CheckWriteBatch; receivedNs: the
// receive stamp of its last byte, nanoseconds since the Unix epoch).
void JournalBatch(Journal& j, const uint8_t* frame, uint32_t length, const uint8_t* payload, int records,
                  uint64_t receivedNs);

// Writes one "bad" line: why, then the frame as HEX when frame is not null.
void JournalBad(Journal& j, const char* why, const uint8_t* frame, uint32_t length);

// Lower-case hex of size bytes into out (room for 2 * size + 1). Returns out.
char* FormatHex(const uint8_t* data, uint32_t size, char* out);
