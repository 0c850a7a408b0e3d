// What the simulated server adds to the link's frames (link/frames.h): the
// three data block tags it cycles through, the deliberately broken frames of
// its fault commands, and the journal-side view of a frame taken from the
// TCP stream.
#pragma once

#include <cstdint>

#include "link/frames.h"

inline constexpr uint32_t kBlockTags[3] = {kTagBlock1A2B, kTagBlock1B2C, kTagFADE};

// Where a broken frame goes, and how it is broken.
enum class Transport { kTcp, kUnicast, kMulticast };
enum class BadKind {
  kShort,      // 9 bytes: less than a whole header and footer
  kSize,       // footer size one more than the header's
  kTag,        // a tag this transport does not take
  kType,       // well formed, but of a type this transport does not carry
  kTruncated,  // the header claims more payload than follows; no footer
  kBlockSize,  // a data block (TCP) whose payload is not 16384 bytes
};

// Builds the broken frame for transport t into out (room for kMaxFrameSize
// bytes). Returns its length, or 0 for a combination that does not exist
// (kBlockSize off TCP). Payload bytes are 0xEE, which shows in an image that
// took what it should have dropped.
uint32_t BuildBadFrame(Transport t, BadKind kind, uint8_t* out);

// The whole frame around a frame's payload view: header first, 10 + N bytes.
inline const uint8_t* FrameStart(const Frame& f) { return f.payload - kFrameHeaderSize; }
inline uint32_t FrameLength(const Frame& f) { return kFrameOverhead + f.size; }

// What the server's stream reader accepts: write batches (tag 0xAFFE).
extern const FrameReceiver kWriteBatchFrames;
