// The records of one IPC request as ipc_probe builds them from text, and
// their layout in the request area. Records lie back to back from the start
// of the area; every head field is an unsigned 32-bit little-endian word:
//   read  (kind 1): kind, offset, size n, a client field, then n data bytes
//                   that the window fills in;
//   write (kind 2): kind, offset, size n, then the n bytes to write;
//   raw   (any kind): kind, offset, size, then exactly the bytes given, so a
//                   test can build records that do not fit their own sizes;
// and a 32-bit 0 where the next kind would be ends the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/protocol.h"

enum class ValueType { kNone, kU8, kU16, kU32, kU64, kS8, kS16, kS32, kS64, kF32, kF64 };

// "u16" -> kU16; kNone for anything else.
ValueType ParseValueType(const std::string& word);
uint32_t ValueSize(ValueType type);

// Encodes a value given as text ("1234", "-5", "0x10", "2.5") as the type's
// little-endian bytes. Returns false when it is not a value of that type.
bool EncodeValue(ValueType type, const std::string& text, std::vector<uint8_t>* bytes);
// Decimal text of the type's little-endian value at bytes.
std::string FormatValue(ValueType type, const uint8_t* bytes);

struct ProbeRecord {
  enum Kind { kRead, kWrite, kRaw };
  Kind kind = kRead;
  uint32_t rawKind = 0;       // the kind word of a raw record
  uint32_t offset = 0;
  uint32_t size = 0;          // n of a read or write; the size word of a raw record
  ValueType type = ValueType::kNone;
  std::vector<uint8_t> data;  // write data, or the bytes after a raw record's head
  size_t at = 0;              // position in the area, set by EncodeRequest
};

struct ProbeRequest {
  std::vector<ProbeRecord> records;
  bool endMarker = true;  // false: no 0 kind after the last record
  uint8_t fill = 0;       // byte for the rest of the area
};

// One record: "read OFFSET SIZE|TYPE", "write OFFSET TYPE VALUE",
// "write OFFSET hex BYTES", "raw KIND OFFSET SIZE [BYTES]". Returns false with
// *error set on a bad record.
bool ParseRecord(const std::vector<std::string>& words, ProbeRecord* record, std::string* error);

// A whole request: "[noend] [fill=XX] RECORD; RECORD; ...".
bool ParseRequest(const std::string& text, ProbeRequest* request, std::string* error);

// Bytes the records and the end marker take in the area.
size_t RequestBytes(const ProbeRequest& request);

// Fills the area with the fill byte and lays the records out from its start,
// noting each record's position. Returns false with *error set when they do
// not fit.
bool EncodeRequest(ProbeRequest* request, uint8_t* area, size_t areaSize, std::string* error);

// What came back, one word per record: "r=HEX" (a read's data field), "w"
// (a write), "k=N" (a raw record's kind word as it is now).
std::string DescribeRecords(const ProbeRequest& request, const uint8_t* area, size_t areaSize);

// A request for bench mode: `reads` read records of sizes cycling through
// minSize..maxSize spread evenly over the 128 KB image, then `writes` write
// records of writeSize bytes from writeOffset on.
ProbeRequest MakeBenchRequest(uint32_t reads, uint32_t minSize, uint32_t maxSize, uint32_t writes,
                             uint32_t writeSize, uint32_t writeOffset);

inline constexpr uint32_t kRawHeadSize = 12;
