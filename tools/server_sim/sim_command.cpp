// Parsing of the simulated server's command lines.
#include "sim_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/protocol.h"

const char kCommandHelp[] =
    "Commands (control channel, one per line; '#' starts a comment):\n"
    "  pause beacons|blocks|updates|all    stop sending that stream\n"
    "  resume beacons|blocks|updates|all   send it again\n"
    "  rate beacons|blocks|updates HZ      change a rate (0 = off)\n"
    "  close                     close the connection in order (FIN)\n"
    "  reset                     abort the connection (RST)\n"
    "  unlisten                  stop listening on port 65000 (a connection stays)\n"
    "  listen                    listen again\n"
    "  drop                      close each new connection at once, before any frame\n"
    "  keep                      serve new connections again\n"
    "  noapply                   journal write batches but leave the image as it is\n"
    "  apply                     apply write batches to the image again\n"
    "  split [MS [AT]]           send the next data block in two sends, MS ms apart\n"
    "                            (default 50), the first holding AT bytes (default half)\n"
    "  coalesce [K]              send the next K data blocks in one send (default 2)\n"
    "  bad tcp|unicast|multicast short|size|tag|type|truncated|blocksize\n"
    "                            send one broken frame now: 9 bytes; footer size + 1;\n"
    "                            a tag that transport refuses; a type it does not carry;\n"
    "                            header claiming more than follows; a data block that\n"
    "                            is not 16384 bytes (tcp only)\n"
    "  set OFFSET=VALUE[:SIZE]   store VALUE (little-endian, SIZE 1/2/4/8 bytes, default\n"
    "                            the smallest that holds it) in the image\n"
    "  counter OFFSET:SIZE:STEP  add a counter that moves by STEP (may be negative) each tick\n"
    "  wave OFFSET:SIZE:LOW:HIGH:SECONDS  add a value that follows a sine from LOW to HIGH\n"
    "                            (integers) once every SECONDS, moving each tick\n"
    "  nocounters                remove every counter and wave\n"
    "  tag 0x1A2B|0x1B2C|0xFADE|cycle   footer tag of the data blocks\n"
    "  status                    write the status file now\n"
    "  quit                      end the program\n";

namespace {

constexpr size_t kLineSize = 256;
constexpr int kMaxTokens = 4;

int Fail(char* error, const char* format, const char* what) {
  std::snprintf(error, kCommandErrorSize, format, what);
  return -1;
}

// Splits line into at most kMaxTokens blank-separated words (in buf).
// Returns the count, or kMaxTokens + 1 when there are more.
int Tokenize(const char* line, char* buf, char** tokens) {
  std::snprintf(buf, kLineSize, "%s", line);
  int count = 0;
  for (char* p = buf; *p != '\0';) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') *p++ = '\0';
    if (*p == '\0' || *p == '#') break;
    if (count == kMaxTokens) return kMaxTokens + 1;
    tokens[count++] = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != '#') ++p;
    if (*p == '#') *p = '\0';
  }
  return count;
}

int ParseStreams(const char* word, uint32_t* streams) {
  static const struct { const char* name; uint32_t bits; } kNames[] = {
      {"beacons", kStreamBeacons}, {"blocks", kStreamBlocks}, {"updates", kStreamUpdates}, {"all", kStreamAll}};
  for (const auto& n : kNames)
    if (std::strcmp(word, n.name) == 0) {
      *streams = n.bits;
      return 1;
    }
  return 0;
}

int ParseTransport(const char* word, Transport* t) {
  if (std::strcmp(word, "tcp") == 0) *t = Transport::kTcp;
  else if (std::strcmp(word, "unicast") == 0) *t = Transport::kUnicast;
  else if (std::strcmp(word, "multicast") == 0) *t = Transport::kMulticast;
  else return 0;
  return 1;
}

int ParseBadKind(const char* word, BadKind* k) {
  static const struct { const char* name; BadKind kind; } kNames[] = {
      {"short", BadKind::kShort}, {"size", BadKind::kSize}, {"tag", BadKind::kTag},
      {"type", BadKind::kType}, {"truncated", BadKind::kTruncated}, {"blocksize", BadKind::kBlockSize}};
  for (const auto& n : kNames)
    if (std::strcmp(word, n.name) == 0) {
      *k = n.kind;
      return 1;
    }
  return 0;
}

int ParseRate(const char* text, double* rate) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0) || v > 100000) return 0;
  *rate = v;
  return 1;
}

int ParseSigned(const char* text, int64_t* out) {
  const bool negative = text[0] == '-';
  uint64_t magnitude = 0;
  if (!ParseUnsigned(text + (negative || text[0] == '+' ? 1 : 0), uint64_t(1) << 63, &magnitude)) return 0;
  *out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return 1;
}

uint32_t SmallestSize(uint64_t v) { return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFFu ? 4 : 8; }

// Splits text at the first sep into head (copied to buf) and the rest.
const char* SplitAt(const char* text, char sep, char* buf, size_t size) {
  const char* at = std::strchr(text, sep);
  if (at == nullptr) return nullptr;
  std::snprintf(buf, size, "%.*s", int(at - text), text);
  return at + 1;
}

}  // namespace

int ParseUnsigned(const char* text, uint64_t max, uint64_t* out) {
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (text[0] == '\0') return 0;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') digit = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
    else return 0;
    if (v > (max - uint64_t(digit)) / uint64_t(base)) return 0;
    v = v * uint64_t(base) + uint64_t(digit);
  }
  *out = v;
  return 1;
}

int ParseSetArgument(const char* text, Command* c, char* error) {
  char offsetText[32], valueText[32];
  const char* rest = SplitAt(text, '=', offsetText, sizeof offsetText);
  uint64_t offset = 0, value = 0, size = 0;
  if (rest == nullptr || !ParseUnsigned(offsetText, kImageSize - 1, &offset))
    return Fail(error, "bad set '%s': expected OFFSET=VALUE[:SIZE], OFFSET below 0x20000", text) + 1;
  const char* sizeText = SplitAt(rest, ':', valueText, sizeof valueText);
  if (sizeText == nullptr) std::snprintf(valueText, sizeof valueText, "%s", rest);
  if (!ParseUnsigned(valueText, ~uint64_t(0), &value))
    return Fail(error, "bad set '%s': VALUE is not a number", text) + 1;
  if (sizeText == nullptr) {
    size = SmallestSize(value);
  } else if (!ParseUnsigned(sizeText, 8, &size) || (size != 1 && size != 2 && size != 4 && size != 8)) {
    return Fail(error, "bad set '%s': SIZE must be 1, 2, 4 or 8", text) + 1;
  }
  if (size < 8 && value >> (8 * size) != 0) return Fail(error, "bad set '%s': VALUE does not fit SIZE", text) + 1;
  if (offset + size > kImageSize) return Fail(error, "bad set '%s': runs past the image (0x20000)", text) + 1;
  c->kind = CommandKind::kSet;
  c->offset = uint32_t(offset);
  c->value = value;
  c->size = uint32_t(size);
  return 1;
}

int ParseCounterArgument(const char* text, Command* c, char* error) {
  char offsetText[32], sizeText[32];
  const char* rest = SplitAt(text, ':', offsetText, sizeof offsetText);
  const char* stepText = rest == nullptr ? nullptr : SplitAt(rest, ':', sizeText, sizeof sizeText);
  uint64_t offset = 0, size = 0;
  int64_t step = 0;
  if (stepText == nullptr || !ParseUnsigned(offsetText, kImageSize - 1, &offset) || !ParseUnsigned(sizeText, 8, &size) ||
      !ParseSigned(stepText, &step))
    return Fail(error, "bad counter '%s': expected OFFSET:SIZE:STEP", text) + 1;
  if (size != 1 && size != 2 && size != 4 && size != 8)
    return Fail(error, "bad counter '%s': SIZE must be 1, 2, 4 or 8", text) + 1;
  if (offset + size > kImageSize) return Fail(error, "bad counter '%s': runs past the image (0x20000)", text) + 1;
  c->kind = CommandKind::kCounter;
  c->offset = uint32_t(offset);
  c->size = uint32_t(size);
  c->step = step;
  return 1;
}

// OFFSET:SIZE:LOW:HIGH:SECONDS; LOW and HIGH must fit SIZE bytes, signed or not.
int ParseWaveArgument(const char* text, Command* c, char* error) {
  char parts[4][32];
  const char* rest = text;
  for (int i = 0; i < 4 && rest != nullptr; ++i) rest = SplitAt(rest, ':', parts[i], sizeof parts[i]);
  uint64_t offset = 0, size = 0;
  char* end = nullptr;
  const double period = rest == nullptr ? 0 : std::strtod(rest, &end);
  if (rest == nullptr || end == rest || *end != '\0' || !ParseUnsigned(parts[0], kImageSize - 1, &offset) ||
      !ParseUnsigned(parts[1], 8, &size) || !ParseSigned(parts[2], &c->low) || !ParseSigned(parts[3], &c->high))
    return Fail(error, "bad wave '%s': expected OFFSET:SIZE:LOW:HIGH:SECONDS", text) + 1;
  if (size != 1 && size != 2 && size != 4 && size != 8)
    return Fail(error, "bad wave '%s': SIZE must be 1, 2, 4 or 8", text) + 1;
  if (offset + size > kImageSize) return Fail(error, "bad wave '%s': runs past the image (0x20000)", text) + 1;
  const int64_t least = size == 8 ? INT64_MIN : -(int64_t(1) << (8 * size - 1));
  const int64_t most = size == 8 ? INT64_MAX : (int64_t(1) << (8 * size)) - 1;
  if (c->low >= c->high || c->low < least || c->high > most)
    return Fail(error, "bad wave '%s': LOW must be below HIGH, both fitting SIZE bytes", text) + 1;
  if (!(period > 0 && period <= 86400)) return Fail(error, "bad wave '%s': SECONDS must be above 0, at most 86400", text) + 1;
  c->kind = CommandKind::kWave;
  c->offset = uint32_t(offset);
  c->size = uint32_t(size);
  c->period = period;
  return 1;
}

int ParseCommand(const char* line, Command* c, char* error) {
  char buf[kLineSize];
  char* t[kMaxTokens] = {};
  const int n = Tokenize(line, buf, t);
  if (n == 0) return 0;
  if (n > kMaxTokens) return Fail(error, "too many words in '%s'", line);
  *c = Command{};
  const char* verb = t[0];
  const auto args = [&](int lo, int hi) { return n - 1 >= lo && n - 1 <= hi; };
  uint64_t v = 0;

  if (std::strcmp(verb, "pause") == 0 || std::strcmp(verb, "resume") == 0) {
    c->kind = verb[0] == 'p' ? CommandKind::kPause : CommandKind::kResume;
    if (!args(1, 1) || !ParseStreams(t[1], &c->streams))
      return Fail(error, "usage: %s beacons|blocks|updates|all", verb);
  } else if (std::strcmp(verb, "rate") == 0) {
    c->kind = CommandKind::kRate;
    if (!args(2, 2) || !ParseStreams(t[1], &c->streams) || c->streams == kStreamAll || !ParseRate(t[2], &c->rate))
      return Fail(error, "usage: %s beacons|blocks|updates HZ (0 to 100000)", verb);
  } else if (std::strcmp(verb, "close") == 0 || std::strcmp(verb, "reset") == 0 ||
             std::strcmp(verb, "unlisten") == 0 || std::strcmp(verb, "listen") == 0 ||
             std::strcmp(verb, "drop") == 0 || std::strcmp(verb, "keep") == 0 ||
             std::strcmp(verb, "noapply") == 0 || std::strcmp(verb, "apply") == 0 ||
             std::strcmp(verb, "nocounters") == 0 || std::strcmp(verb, "status") == 0 ||
             std::strcmp(verb, "quit") == 0) {
    static const struct { const char* name; CommandKind kind; } kBare[] = {
        {"close", CommandKind::kClose}, {"reset", CommandKind::kReset}, {"unlisten", CommandKind::kUnlisten},
        {"listen", CommandKind::kListen}, {"drop", CommandKind::kDrop}, {"keep", CommandKind::kKeep},
        {"noapply", CommandKind::kNoApply}, {"apply", CommandKind::kApply}, {"nocounters", CommandKind::kNoCounters},
        {"status", CommandKind::kStatus}, {"quit", CommandKind::kQuit}};
    for (const auto& b : kBare)
      if (std::strcmp(verb, b.name) == 0) c->kind = b.kind;
    if (!args(0, 0)) return Fail(error, "'%s' takes no argument", verb);
  } else if (std::strcmp(verb, "split") == 0) {
    c->kind = CommandKind::kSplit;
    c->delayMs = kDefaultSplitDelayMs;
    if (!args(0, 2)) return Fail(error, "usage: %s [MS [AT]]", verb);
    if (n > 1) {
      if (!ParseUnsigned(t[1], 10000, &v)) return Fail(error, "split: MS must be 0 to 10000, not '%s'", t[1]);
      c->delayMs = uint32_t(v);
    }
    if (n > 2) {
      if (!ParseUnsigned(t[2], kMaxFrameSize, &v) || v == 0)
        return Fail(error, "split: AT must be 1 to 65535, not '%s'", t[2]);
      c->splitAt = uint32_t(v);
    }
  } else if (std::strcmp(verb, "coalesce") == 0) {
    c->kind = CommandKind::kCoalesce;
    c->count = 2;
    if (!args(0, 1)) return Fail(error, "usage: %s [K]", verb);
    if (n > 1) {
      if (!ParseUnsigned(t[1], 16, &v) || v < 2) return Fail(error, "coalesce: K must be 2 to 16, not '%s'", t[1]);
      c->count = uint32_t(v);
    }
  } else if (std::strcmp(verb, "bad") == 0) {
    c->kind = CommandKind::kBad;
    if (!args(2, 2) || !ParseTransport(t[1], &c->transport) || !ParseBadKind(t[2], &c->bad))
      return Fail(error, "usage: %s tcp|unicast|multicast short|size|tag|type|truncated|blocksize", verb);
    if (c->bad == BadKind::kBlockSize && c->transport != Transport::kTcp)
      return Fail(error, "%s blocksize: data blocks go over tcp only", verb);
  } else if (std::strcmp(verb, "set") == 0) {
    if (!args(1, 1)) return Fail(error, "usage: %s OFFSET=VALUE[:SIZE]", verb);
    if (!ParseSetArgument(t[1], c, error)) return -1;
  } else if (std::strcmp(verb, "counter") == 0) {
    if (!args(1, 1)) return Fail(error, "usage: %s OFFSET:SIZE:STEP", verb);
    if (!ParseCounterArgument(t[1], c, error)) return -1;
  } else if (std::strcmp(verb, "wave") == 0) {
    if (!args(1, 1)) return Fail(error, "usage: %s OFFSET:SIZE:LOW:HIGH:SECONDS", verb);
    if (!ParseWaveArgument(t[1], c, error)) return -1;
  } else if (std::strcmp(verb, "tag") == 0) {
    c->kind = CommandKind::kTag;
    if (!args(1, 1)) return Fail(error, "usage: %s 0x1A2B|0x1B2C|0xFADE|cycle", verb);
    if (std::strcmp(t[1], "cycle") == 0) return 1;
    if (!ParseUnsigned(t[1], 0xFFFF, &v) || (v != kBlockTags[0] && v != kBlockTags[1] && v != kBlockTags[2]))
      return Fail(error, "tag: '%s' is not 0x1A2B, 0x1B2C, 0xFADE or cycle", t[1]);
    c->tag = uint16_t(v);
  } else {
    return Fail(error, "unknown command '%s' (see --help)", verb);
  }
  return 1;
}
