// The field types and their JSON forms (see the header). One table holds
// every type's name, width and range; integers are checked as a sign and a
// magnitude, so no conversion can overflow on either width of target.
#include "web/web_values.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/byte_order.h"
#include "ipc/image_access.h"
#include "web/web_limits.h"

namespace {

struct TypeRow {
  const char* name;
  uint32_t size;     // 0: the field's "size" gives it
  uint64_t highest;  // integer types: the largest value
  uint64_t lowest;   // integer types: the magnitude of the smallest (0: unsigned)
};

// In the order of ValueType.
constexpr TypeRow kTypes[] = {
    {"u8", 1, 0xFF, 0},
    {"s8", 1, 0x7F, 0x80},
    {"u16", 2, 0xFFFF, 0},
    {"s16", 2, 0x7FFF, 0x8000},
    {"u32", 4, 0xFFFFFFFF, 0},
    {"s32", 4, 0x7FFFFFFF, 0x80000000},
    {"u64", 8, UINT64_MAX, 0},
    {"s64", 8, INT64_MAX, uint64_t(1) << 63},
    {"f32", 4, 0, 0},
    {"f64", 8, 0, 0},
    {"bytes", 0, 0, 0},
    {"string", 0, 0, 0},
};
static_assert(sizeof kTypes / sizeof kTypes[0] == size_t(ValueType::kString) + 1);

const TypeRow& Row(ValueType type) { return kTypes[size_t(type)]; }
bool IsInteger(ValueType type) { return type <= ValueType::kS64; }

// The first double that a float cannot hold: halfway between the largest
// float and 2^128 (that tie rounds to infinity).
constexpr double kFloatOverflow = 0x1.ffffffp127;
// 2^64: the first magnitude beyond any 64-bit integer.
constexpr double kTwoTo64 = 18446744073709551616.0;

// An integral JSON number (1.0 counts, 1.5 does not) as sign and magnitude.
bool IntegralNumber(const Json& v, bool* negative, uint64_t* magnitude) {
  if (v.is_number_unsigned()) {
    *negative = false, *magnitude = v.get<uint64_t>();
    return true;
  }
  if (v.is_number_integer()) {
    const int64_t s = v.get<int64_t>();
    *negative = s < 0, *magnitude = s < 0 ? 0 - uint64_t(s) : uint64_t(s);
    return true;
  }
  if (!v.is_number_float()) return false;
  const double d = v.get<double>();
  if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= kTwoTo64) return false;
  *negative = d < 0, *magnitude = uint64_t(std::fabs(d));
  return true;
}

WebStatus BadValue(const char* type, const char* why) {
  return WebStatus::Failure(WebError::kBadValue, "a %s value must be %s", type, why);
}

WebStatus EncodeInteger(const TypeRow& row, const Json& value, uint8_t* out) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!IntegralNumber(value, &negative, &magnitude)) return BadValue(row.name, "an integral number");
  if (negative ? magnitude > row.lowest : magnitude > row.highest) {
    return WebStatus::Failure(WebError::kBadValue, "%s%" PRIu64 " is out of the range of %s",
                              negative ? "-" : "", magnitude, row.name);
  }
  WriteLeN(out, negative ? 0 - magnitude : magnitude, row.size);  // two's complement
  return WebStatus();
}

WebStatus EncodeFloat(ValueType type, const Json& value, uint8_t* out) {
  const char* name = Row(type).name;
  if (!value.is_number()) return BadValue(name, "a number");
  const double d = value.get<double>();
  if (type == ValueType::kF64) {
    if (!std::isfinite(d)) return BadValue(name, "finite");
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    WriteLeN(out, bits, 8);
    return WebStatus();
  }
  if (!(std::fabs(d) < kFloatOverflow)) return BadValue(name, "within a float's range");
  const float f = float(d);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  WriteLe32(out, bits);
  return WebStatus();
}

WebStatus EncodeString(const Field& field, const Json& value, uint8_t* out) {
  if (!value.is_string()) return BadValue("string", "a string");
  std::string latin1;
  if (!Utf8ToLatin1(value.get_ref<const std::string&>(), &latin1))
    return BadValue("string", "of characters up to U+00FF");
  if (latin1.size() > field.size) {
    return WebStatus::Failure(WebError::kBadValue, "a string of %u characters is longer than its %u bytes",
                              unsigned(latin1.size()), unsigned(field.size));
  }
  std::memcpy(out, latin1.data(), latin1.size());
  std::memset(out + latin1.size(), 0, field.size - latin1.size());
  return WebStatus();
}

WebStatus EncodeBytes(const Field& field, const Json& value, uint8_t* out) {
  if (!value.is_array() || value.size() != field.size) {
    return WebStatus::Failure(WebError::kBadValue, "a bytes value must be an array of %u numbers",
                              unsigned(field.size));
  }
  for (uint32_t i = 0; i < field.size; ++i) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!IntegralNumber(value[i], &negative, &magnitude) || negative || magnitude > 0xFF)
      return BadValue("bytes", "an array of integers 0..255");
    out[i] = uint8_t(magnitude);
  }
  return WebStatus();
}

Json DecodeInteger(const TypeRow& row, const uint8_t* bytes) {
  const uint64_t v = ReadLeN(bytes, row.size);
  if (row.lowest == 0) return Json(v);
  const uint64_t sign = uint64_t(1) << (8 * row.size - 1);
  return Json(int64_t((v ^ sign) - sign));  // sign-extended; C++20 converts modulo 2^64
}

Json DecodeFloat(ValueType type, const uint8_t* bytes) {
  if (type == ValueType::kF64) {
    const uint64_t bits = ReadLeN(bytes, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return std::isfinite(d) ? Json(d) : Json(nullptr);
  }
  const uint32_t bits = ReadLe32(bytes);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  if (!std::isfinite(f)) return Json(nullptr);
  // The shortest decimal that reads back as f, as a double: 0.1f shows as
  // 0.1, not as 0.10000000149011612, and writing it back gives f again.
  char text[32];
  const auto printed = std::to_chars(text, text + sizeof text, f);
  double d = f;
  std::from_chars(text, printed.ptr, d);
  return Json(d);
}

// An offset as a number or as a "0x..." or decimal digit string.
bool ParseOffset(const Json& v, uint32_t* offset) {
  uint64_t n = 0;
  if (v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0)) {
    n = v.get<uint64_t>();
  } else if (v.is_string()) {
    const std::string& text = v.get_ref<const std::string&>();
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    const auto parsed = std::from_chars(first, last, n, hex ? 16 : 10);
    if (first == last || parsed.ec != std::errc() || parsed.ptr != last) return false;
  } else {
    return false;
  }
  if (n > UINT32_MAX) return false;
  *offset = uint32_t(n);
  return true;
}

WebStatus ParseType(const Json& entry, ValueType* type) {
  const auto it = entry.find("type");
  if (it == entry.end()) return WebStatus::Failure(WebError::kBadRequest, "\"type\" is missing");
  if (it->is_string()) {
    const std::string& name = it->get_ref<const std::string&>();
    for (size_t i = 0; i < sizeof kTypes / sizeof kTypes[0]; ++i) {
      if (name == kTypes[i].name) {
        *type = ValueType(i);
        return WebStatus();
      }
    }
  }
  return WebStatus::Failure(WebError::kBadType, "\"type\" must be one of u8 s8 u16 s16 u32 s32 u64 s64 f32 f64 "
                                                "bytes string");
}

WebStatus ParseSize(const Json& entry, ValueType type, uint32_t* size) {
  const auto it = entry.find("size");
  *size = Row(type).size;
  if (*size != 0) {  // a fixed width: "size" may only repeat it
    if (it != entry.end() && !(it->is_number_integer() && *it == *size)) {
      return WebStatus::Failure(WebError::kBadRequest, "a %s is %u bytes; \"size\" does not fit", Row(type).name,
                                unsigned(*size));
    }
    return WebStatus();
  }
  if (it == entry.end() || !it->is_number_integer() || !(*it >= 1)) {
    return WebStatus::Failure(WebError::kBadRequest, "a %s field needs a \"size\" of 1 to %u bytes", Row(type).name,
                              unsigned(kMaxFieldSize));
  }
  if (*it > kMaxFieldSize) {
    return WebStatus::Failure(WebError::kLimit, "a %s field holds at most %u bytes", Row(type).name,
                              unsigned(kMaxFieldSize));
  }
  *size = it->get<uint32_t>();
  return WebStatus();
}

}  // namespace

WebStatus ParseField(const Json& entry, Field* field) {
  if (!entry.is_object()) return WebStatus::Failure(WebError::kBadRequest, "a field is an object");
  Field f;
  WebStatus status = ParseType(entry, &f.type);
  if (status.ok()) status = ParseSize(entry, f.type, &f.size);
  if (!status.ok()) return status;
  const auto it = entry.find("offset");
  if (it == entry.end()) return WebStatus::Failure(WebError::kBadRequest, "\"offset\" is missing");
  if (!ParseOffset(*it, &f.offset)) {
    return WebStatus::Failure(WebError::kBadOffset, "\"offset\" must be a number, a \"0x...\" hex string or a "
                                                    "decimal string");
  }
  if (!InImage(f.offset, f.size)) {
    return WebStatus::Failure(WebError::kBadOffset, "%u bytes at 0x%X do not lie within the image (0x%X bytes)",
                              unsigned(f.size), unsigned(f.offset), unsigned(kImageSize));
  }
  *field = f;
  return WebStatus();
}

Json DecodeValue(const Field& field, const uint8_t* bytes) {
  if (IsInteger(field.type)) return DecodeInteger(Row(field.type), bytes);
  switch (field.type) {
    case ValueType::kF32:
    case ValueType::kF64: return DecodeFloat(field.type, bytes);
    case ValueType::kString: {
      const void* nul = std::memchr(bytes, 0, field.size);
      const size_t n = nul != nullptr ? size_t(static_cast<const uint8_t*>(nul) - bytes) : field.size;
      return Json(Latin1ToUtf8(std::string_view(reinterpret_cast<const char*>(bytes), n)));
    }
    default: break;
  }
  Json array = Json::array();
  for (uint32_t i = 0; i < field.size; ++i) array.push_back(bytes[i]);
  return array;
}

WebStatus EncodeValue(const Field& field, const Json& value, uint8_t* out) {
  if (IsInteger(field.type)) return EncodeInteger(Row(field.type), value, out);
  switch (field.type) {
    case ValueType::kF32:
    case ValueType::kF64: return EncodeFloat(field.type, value, out);
    case ValueType::kString: return EncodeString(field, value, out);
    default: break;
  }
  return EncodeBytes(field, value, out);
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string text;
  text.reserve(latin1.size());
  for (const char c : latin1) {
    const uint8_t b = uint8_t(c);
    if (b < 0x80) {
      text += c;
    } else {
      text += char(0xC0 | b >> 6);
      text += char(0x80 | (b & 0x3F));
    }
  }
  return text;
}

bool Utf8ToLatin1(std::string_view text, std::string* latin1) {
  latin1->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t b = uint8_t(text[i]);
    if (b < 0x80) {
      *latin1 += char(b);
      continue;
    }
    // U+0080..U+00FF are the two-byte forms C2 80 .. C3 BF; every other lead
    // byte starts a character above U+00FF (or is not UTF-8).
    if ((b != 0xC2 && b != 0xC3) || i + 1 == text.size() || (uint8_t(text[i + 1]) & 0xC0) != 0x80) return false;
    *latin1 += char((b & 0x03) << 6 | (uint8_t(text[++i]) & 0x3F));
  }
  return true;
}

std::string PrintMessage(const Json& message) { return message.dump(-1, ' ', false, Json::error_handler_t::replace); }

WebStatus RequiredName(const Json& object, const char* key, const std::string** out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
    return WebStatus::Failure(WebError::kBadRequest, "\"%s\" must be a name (a string of 1 to %u bytes)", key,
                              unsigned(kMaxNameBytes));
  if (it->get_ref<const std::string&>().size() > kMaxNameBytes)
    return WebStatus::Failure(WebError::kLimit, "\"%s\" is longer than %u bytes", key, unsigned(kMaxNameBytes));
  *out = &it->get_ref<const std::string&>();
  return WebStatus();
}
