// The offset image: the client's 128 KB copy of the simulator's data area,
// with the write shadow (bytes written locally that wait for the server to
// echo them), the offset ownership map and the link activity counter. All of
// it is fixed static storage; the image, the shadow and the counter are
// guarded by imageLock, the program's only lock, which is never nested and
// never held across a blocking call. Nothing here allocates.
#pragma once

#include <cstdint>
#include <mutex>

inline constexpr uint32_t kImageSize = 0x20000;    // image offsets 0x00000-0x1FFFF
inline constexpr uint32_t kDataBlockSize = 0x4000;  // bytes of one data block
inline constexpr uint32_t kFirstBlockType = 6;      // data block types 6..10
inline constexpr uint32_t kLastBlockType = 10;
inline constexpr uint32_t kBlockActivity = 16384;   // linkActivityCount per data block

// Ownership map values: what a write record starting at an offset does.
inline constexpr uint8_t kOwnerLocal = 1;   // applied to the image and marked in the shadow
inline constexpr uint8_t kOwnerServer = 2;  // only forwarded; the server alone sets these bytes

extern std::mutex imageLock;
extern uint8_t offsetImage[kImageSize];       // guarded by imageLock
// guarded by imageLock; non-zero: a local write waits. Changed only by
// ApplyLocalWrite and ApplyDataBlock, which keep a count of marks per quarter.
extern uint32_t writeShadow[kImageSize];
extern uint8_t offsetOwnership[kImageSize];   // written at start-up only, read on the main thread
extern uint32_t linkActivityCount;            // guarded by imageLock; wraps modulo 2^32

// Start state: image and shadow 0, ownership 1 everywhere but 0x330A/0x330B (2).
// Called before any other thread exists (tests call it between cases).
void InitOffsetImage();

// Copies size image bytes from offset to dest under the lock. The caller keeps
// offset + size within kImageSize.
void ReadImageBytes(uint32_t offset, uint32_t size, uint8_t* dest);

// A local write record: unless the ownership entry of offset is kOwnerServer,
// copies the bytes into the image and marks them in the shadow, under the
// lock. Only the first offset's entry is consulted. The caller keeps
// offset + size within kImageSize. Returns 1 when applied, 0 when refused.
int ApplyLocalWrite(uint32_t offset, uint32_t size, const uint8_t* data);

// Brings one data block (type 6..10, exactly kDataBlockSize payload bytes)
// into the image byte by byte under the write-shadow rules. The caller holds
// imageLock. Returns 1, or 0 for a type outside 6..10 (nothing changes).
int ApplyDataBlock(uint32_t type, const uint8_t* payload);

// Takes the lock, adds kBlockActivity to linkActivityCount and applies the
// block: what the TCP receiver does with each valid data block.
int TakeDataBlock(uint32_t type, const uint8_t* payload);

// Applies count update records of 6 bytes each (Region, pad, Offset LE16,
// Value, pad), taking the lock once per record. Ignores the write shadow.
void ApplyUpdateRecords(const uint8_t* records, uint32_t count);

// Adds n to linkActivityCount under the lock (one accepted beacon or update frame: 1).
void AddLinkActivity(uint32_t n);

// What the supervisor samples once per tick, under the lock.
struct LinkSample {
  uint32_t activity;  // linkActivityCount
  uint16_t word0274;  // image word at 0x0274 (little-endian)
  uint16_t word337E;  // image word at 0x337E (little-endian)
};
LinkSample SampleLink();
void ResetLinkActivity();  // linkActivityCount = 0, under the lock
