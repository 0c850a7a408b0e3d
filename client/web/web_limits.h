// The gateway's bounds: what one web client may hold and send. Each bound
// that a request would break is answered with the "limit" error; a client
// whose unsent messages reach kQueueBytes is closed.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t kDefaultWebPort = 8765;
inline constexpr int kMaxWebClients = 64;              // connections at once
inline constexpr size_t kMaxGroups = 32;               // groups per connection
inline constexpr size_t kMaxGroupOffsets = 256;        // offsets per group
inline constexpr size_t kMaxMessageBytes = 64 * 1024;  // one message from a client
inline constexpr uint32_t kShortestIntervalMs = 10;    // a subscription's interval, unless 0 (each change)
inline constexpr size_t kQueueBytes = 1024 * 1024;     // unsent messages to one client
inline constexpr size_t kMaxNameBytes = 64;            // a group's or an offset's name (UTF-8 bytes)
inline constexpr uint32_t kMaxFieldSize = 4096;        // a "bytes" or "string" field's size
// The fields of one group together: a session keeps two copies of them (the
// last push and the latest look), and a read's reply stays well below
// kQueueBytes.
inline constexpr uint32_t kMaxGroupBytes = 16 * 1024;
// How deeply a message's arrays and objects may nest. A request needs four
// levels; the bound keeps the library's recursive copies and prints of an
// echoed "id" shallow.
inline constexpr int kMaxJsonDepth = 16;
