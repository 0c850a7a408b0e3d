// Little-endian field access for frames and image words. Every multi-byte
// field on the wire and in the image is little-endian; only this header
// knows that, so the same code is right on any host and at any alignment.
// The caller checks bounds once per frame, not once per field.
#pragma once

#include <cstdint>

inline uint32_t ReadLe16(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8; }
inline uint32_t ReadLe32(const uint8_t* p) {
  return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void WriteLe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
// An unsigned field of n bytes (1..8), for fields whose width is data.
inline uint64_t ReadLeN(const uint8_t* p, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t i = n; i-- > 0;) v = v << 8 | p[i];
  return v;
}
inline void WriteLeN(uint8_t* p, uint64_t v, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, v >>= 8) p[i] = uint8_t(v);
}
