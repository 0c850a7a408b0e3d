// Building IPC requests from text and reading their answers (see the header).
#include "request_records.h"

#include <cstdio>
#include <cstring>

#include "probe_text.h"

namespace {

struct TypeRow {
  const char* name;
  ValueType type;
  uint32_t size;
};

const TypeRow kTypes[] = {
    {"u8", ValueType::kU8, 1},   {"u16", ValueType::kU16, 2}, {"u32", ValueType::kU32, 4},
    {"u64", ValueType::kU64, 8}, {"s8", ValueType::kS8, 1},   {"s16", ValueType::kS16, 2},
    {"s32", ValueType::kS32, 4}, {"s64", ValueType::kS64, 8}, {"f32", ValueType::kF32, 4},
    {"f64", ValueType::kF64, 8},
};

void PutLe(uint8_t* p, uint64_t v, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, uint32_t size) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < size; ++i) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

bool IsSigned(ValueType t) {
  return t == ValueType::kS8 || t == ValueType::kS16 || t == ValueType::kS32 || t == ValueType::kS64;
}

bool ParseOffset(const std::string& word, uint32_t* offset, std::string* error) {
  uint64_t v = 0;
  if (!ParseUnsigned(word, UINT32_MAX, &v)) {
    *error = "bad offset '" + word + "' (a 32-bit number, decimal or 0x-hex)";
    return false;
  }
  *offset = uint32_t(v);
  return true;
}

}  // namespace

ValueType ParseValueType(const std::string& word) {
  for (const TypeRow& row : kTypes)
    if (word == row.name) return row.type;
  return ValueType::kNone;
}

uint32_t ValueSize(ValueType type) {
  for (const TypeRow& row : kTypes)
    if (row.type == type) return row.size;
  return 0;
}

bool EncodeValue(ValueType type, const std::string& text, std::vector<uint8_t>* bytes) {
  const uint32_t size = ValueSize(type);
  if (size == 0) return false;
  uint64_t raw = 0;
  if (type == ValueType::kF32 || type == ValueType::kF64) {
    double d = 0;
    if (!ParseReal(text, &d)) return false;
    if (type == ValueType::kF32) {
      const float f = float(d);
      uint32_t u;
      std::memcpy(&u, &f, 4);
      raw = u;
    } else {
      std::memcpy(&raw, &d, 8);
    }
  } else if (IsSigned(type)) {
    const int64_t max = size == 8 ? INT64_MAX : (int64_t(1) << (8 * size - 1)) - 1;
    int64_t v = 0;
    if (!ParseSigned(text, -max - 1, max, &v)) return false;
    raw = uint64_t(v);
  } else {
    const uint64_t max = size == 8 ? UINT64_MAX : (uint64_t(1) << (8 * size)) - 1;
    if (!ParseUnsigned(text, max, &raw)) return false;
  }
  bytes->assign(size, 0);
  PutLe(bytes->data(), raw, size);
  return true;
}

std::string FormatValue(ValueType type, const uint8_t* bytes) {
  const uint32_t size = ValueSize(type);
  const uint64_t raw = GetLe(bytes, size);
  char text[64];
  if (type == ValueType::kF32) {
    float f;
    const uint32_t u = uint32_t(raw);
    std::memcpy(&f, &u, 4);
    std::snprintf(text, sizeof text, "%.9g", double(f));
  } else if (type == ValueType::kF64) {
    double d;
    std::memcpy(&d, &raw, 8);
    std::snprintf(text, sizeof text, "%.17g", d);
  } else if (IsSigned(type)) {
    const uint64_t sign = uint64_t(1) << (8 * size - 1);
    const int64_t v = int64_t((raw ^ sign) - sign);  // sign-extend
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
  } else {
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw));
  }
  return text;
}

bool ParseRecord(const std::vector<std::string>& w, ProbeRecord* r, std::string* error) {
  *r = ProbeRecord{};
  if (w.empty()) {
    *error = "empty record";
    return false;
  }
  const std::string& verb = w[0];
  if (verb == "read") {
    if (w.size() != 3) {
      *error = "usage: read OFFSET SIZE|TYPE";
      return false;
    }
    r->kind = ProbeRecord::kRead;
    if (!ParseOffset(w[1], &r->offset, error)) return false;
    r->type = ParseValueType(w[2]);
    if (r->type != ValueType::kNone) {
      r->size = ValueSize(r->type);
      return true;
    }
    uint64_t size = 0;
    if (!ParseUnsigned(w[2], UINT32_MAX, &size)) {
      *error = "bad size '" + w[2] + "' (a byte count or one of u8 u16 u32 u64 s8 s16 s32 s64 f32 f64)";
      return false;
    }
    r->size = uint32_t(size);
    return true;
  }
  if (verb == "write") {
    if (w.size() != 4) {
      *error = "usage: write OFFSET TYPE VALUE | write OFFSET hex BYTES";
      return false;
    }
    r->kind = ProbeRecord::kWrite;
    if (!ParseOffset(w[1], &r->offset, error)) return false;
    if (w[2] == "hex") {
      if (!ParseHexBytes(w[3], &r->data)) {
        *error = "bad hex bytes '" + w[3] + "'";
        return false;
      }
    } else {
      r->type = ParseValueType(w[2]);
      if (r->type == ValueType::kNone) {
        *error = "bad type '" + w[2] + "' (u8 u16 u32 u64 s8 s16 s32 s64 f32 f64 or hex)";
        return false;
      }
      if (!EncodeValue(r->type, w[3], &r->data)) {
        *error = "'" + w[3] + "' is not a " + w[2] + " value";
        return false;
      }
    }
    r->size = uint32_t(r->data.size());
    return true;
  }
  if (verb == "raw") {
    if (w.size() != 4 && w.size() != 5) {
      *error = "usage: raw KIND OFFSET SIZE [BYTES]";
      return false;
    }
    r->kind = ProbeRecord::kRaw;
    uint64_t kind = 0, size = 0;
    if (!ParseUnsigned(w[1], UINT32_MAX, &kind)) {
      *error = "bad kind '" + w[1] + "'";
      return false;
    }
    if (!ParseOffset(w[2], &r->offset, error)) return false;
    if (!ParseUnsigned(w[3], UINT32_MAX, &size)) {
      *error = "bad size '" + w[3] + "'";
      return false;
    }
    if (w.size() == 5 && !ParseHexBytes(w[4], &r->data)) {
      *error = "bad hex bytes '" + w[4] + "'";
      return false;
    }
    r->rawKind = uint32_t(kind);
    r->size = uint32_t(size);
    return true;
  }
  *error = "unknown record '" + verb + "' (read, write or raw)";
  return false;
}

bool ParseRequest(const std::string& text, ProbeRequest* request, std::string* error) {
  *request = ProbeRequest{};
  for (const std::string& part : SplitList(text, ';')) {
    std::vector<std::string> words = SplitWords(part);
    // Options may lead the first record.
    while (request->records.empty() && !words.empty()) {
      if (words[0] == "noend") {
        request->endMarker = false;
      } else if (words[0].rfind("fill=", 0) == 0) {
        std::vector<uint8_t> b;
        if (!ParseHexBytes(words[0].substr(5), &b) || b.size() != 1) {
          *error = "bad fill byte '" + words[0] + "' (fill=XX, two hex digits)";
          return false;
        }
        request->fill = b[0];
      } else {
        break;
      }
      words.erase(words.begin());
    }
    if (words.empty()) continue;
    ProbeRecord record;
    if (!ParseRecord(words, &record, error)) return false;
    request->records.push_back(std::move(record));
  }
  if (request->records.empty() && !request->endMarker) {
    *error = "a request without records needs its end marker";
    return false;
  }
  return true;
}

static size_t RecordBytes(const ProbeRecord& r) {
  switch (r.kind) {
    case ProbeRecord::kRead: return kReadHeadSize + size_t(r.size);
    case ProbeRecord::kWrite: return kWriteHeadSize + r.data.size();
    case ProbeRecord::kRaw: return kRawHeadSize + r.data.size();
  }
  return 0;
}

size_t RequestBytes(const ProbeRequest& request) {
  size_t total = request.endMarker ? 4 : 0;
  for (const ProbeRecord& r : request.records) total += RecordBytes(r);
  return total;
}

bool EncodeRequest(ProbeRequest* request, uint8_t* area, size_t areaSize, std::string* error) {
  const size_t need = RequestBytes(*request);
  if (need > areaSize) {
    *error = "the request takes " + std::to_string(need) + " bytes, the mapping holds " +
             std::to_string(areaSize);
    return false;
  }
  std::memset(area, request->fill, areaSize);
  size_t at = 0;
  for (ProbeRecord& r : request->records) {
    r.at = at;
    uint8_t* p = area + at;
    PutLe(p, r.kind == ProbeRecord::kRead ? 1 : r.kind == ProbeRecord::kWrite ? 2 : r.rawKind, 4);
    PutLe(p + 4, r.offset, 4);
    PutLe(p + 8, r.size, 4);
    if (r.kind == ProbeRecord::kRead) {
      PutLe(p + 12, 0, 4);  // the client field
      std::memset(p + kReadHeadSize, 0, r.size);
    } else if (!r.data.empty()) {
      std::memcpy(p + kWriteHeadSize, r.data.data(), r.data.size());
    }
    at += RecordBytes(r);
  }
  if (request->endMarker) PutLe(area + at, 0, 4);
  return true;
}

std::string DescribeRecords(const ProbeRequest& request, const uint8_t* area, size_t areaSize) {
  std::string out;
  for (const ProbeRecord& r : request.records) {
    if (!out.empty()) out += ' ';
    if (r.kind == ProbeRecord::kRead && r.at + kReadHeadSize + r.size <= areaSize)
      out += "r=" + HexBytes(area + r.at + kReadHeadSize, r.size);
    else if (r.kind == ProbeRecord::kWrite)
      out += "w";
    else
      out += "k=" + std::to_string(GetLe(area + r.at, 4));
  }
  return out;
}

ProbeRequest MakeBenchRequest(uint32_t reads, uint32_t minSize, uint32_t maxSize, uint32_t writes,
                             uint32_t writeSize, uint32_t writeOffset) {
  ProbeRequest request;
  const uint32_t span = maxSize - minSize + 1;
  const uint32_t stride = reads ? kImageSize / reads : 0;
  for (uint32_t i = 0; i < reads; ++i) {
    ProbeRecord r;
    r.kind = ProbeRecord::kRead;
    r.size = minSize + i % span;
    r.offset = i * stride;
    if (r.offset + r.size > kImageSize) r.offset = kImageSize - r.size;
    request.records.push_back(r);
  }
  for (uint32_t i = 0; i < writes; ++i) {
    ProbeRecord w;
    w.kind = ProbeRecord::kWrite;
    w.offset = writeOffset + i * writeSize;
    w.size = writeSize;
    for (uint32_t b = 0; b < writeSize; ++b) w.data.push_back(uint8_t(0xA0 + i + b));
    request.records.push_back(w);
  }
  return request;
}
