// The five status lines of the window: formatted by the connection
// supervisor, drawn by the main thread. A line's text and its count are
// always written and copied together under the lines' own lock, so a painter
// never sees text and count of different updates.
#pragma once

#include <cstddef>
#include <cstdint>

enum StatusLineId { kConnectionLine, kRequestLine, kReadLine, kWriteLine, kUdpLine, kStatusLineCount };

inline constexpr size_t kStatusLineSize = 1024;  // connection, request, read and write lines
inline constexpr size_t kUdpLineSize = 2048;     // the UDP line

// Formats the line (vsnprintf rules; the count is the characters stored).
void SetStatusLine(StatusLineId id, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Copies the line's text into out (NUL-terminated, cut to outSize - 1) and
// returns its character count as copied.
uint32_t CopyStatusLine(StatusLineId id, char* out, size_t outSize);

// Empties every line (start state; tests call it between cases).
void ClearStatusLines();
