// The write-batch journal.
#include "sim_journal.h"

#include "sim_wire.h"

namespace {

char hexLine[2 * kMaxFrameSize + 1];

}  // namespace

char* FormatHex(const uint8_t* data, uint32_t size, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  out[2 * size] = '\0';
  return out;
}

int OpenJournal(Journal& j, const std::string& path) {
  j.file = std::fopen(path.c_str(), "wb");
  j.seq = 0;
  return j.file != nullptr ? 1 : 0;
}

void CloseJournal(Journal& j) {
  if (j.file != nullptr) std::fclose(j.file);
  j.file = nullptr;
}

void JournalBatch(Journal& j, const uint8_t* frame, uint32_t length, const uint8_t* payload, int records,
                  uint64_t receivedNs) {
  ++j.seq;
  if (j.file == nullptr) return;
  std::fprintf(j.file, "batch %u %u %s\n", j.seq, length, FormatHex(frame, length, hexLine));
  std::fprintf(j.file, "time %u %llu\n", j.seq, static_cast<unsigned long long>(receivedNs));
  for (int i = 0; i < records; ++i) {
    const WriteRecord r = BatchRecord(payload, uint32_t(i));
    std::fprintf(j.file, "write %u 0x%05X %u %s\n", j.seq, r.offset, r.size, FormatHex(r.data, r.size, hexLine));
  }
  std::fflush(j.file);
}

void JournalBad(Journal& j, const char* why, const uint8_t* frame, uint32_t length) {
  ++j.seq;
  if (j.file == nullptr) return;
  if (frame != nullptr)
    std::fprintf(j.file, "bad %u %s %u %s\n", j.seq, why, length, FormatHex(frame, length, hexLine));
  else
    std::fprintf(j.file, "bad %u %s\n", j.seq, why);
  std::fflush(j.file);
}
