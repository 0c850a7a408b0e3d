// The values web clients read and write: the field types, where a field lies
// in the image, and each type's JSON form. The image holds every number
// little-endian (base/byte_order.h). A "string" is Latin-1 bytes up to the
// first NUL, which JSON carries as UTF-8; "bytes" is an array of numbers
// 0..255. Nothing here touches the image: callers give and take the bytes.
// Any thread; nothing is shared.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "web/web_status.h"

// Messages are read and written with the order of their members kept, so a
// group's values come back in the order it was declared.
using Json = nlohmann::ordered_json;

enum class ValueType : uint8_t { kU8, kS8, kU16, kS16, kU32, kS32, kU64, kS64, kF32, kF64, kBytes, kString };

// A field of the image: size bytes from offset, read and written as type.
struct Field {
  uint32_t offset = 0;
  uint32_t size = 0;
  ValueType type = ValueType::kU8;
};

// The field an object of a request describes: "offset" (a number, a "0x..."
// hex string or a decimal digit string), "type" and, for bytes and string,
// "size" (1..kMaxFieldSize). The field must lie within the image. Missing or
// wrongly typed members are kBadRequest; then kBadType, kBadOffset, kLimit
// (a size above kMaxFieldSize) as the rules say.
WebStatus ParseField(const Json& entry, Field* field);

// The JSON form of a field's bytes (field.size of them, as the image holds
// them): integers exact (64-bit ones too), f32 as the shortest decimal that
// reads back as the same float, a NaN or infinity as null, string the bytes
// up to the first NUL as UTF-8, bytes an array of numbers.
Json DecodeValue(const Field& field, const uint8_t* bytes);

// The field.size bytes of a JSON value into out, or kBadValue (out then
// holds no meaning): an integer type takes an integral number within its
// range (1.0 too, 1.5 not), a float type any number that stays finite, a
// string only characters up to U+00FF and at most field.size of them (NUL
// padded), bytes an array of exactly field.size integers 0..255.
WebStatus EncodeValue(const Field& field, const Json& value, uint8_t* out);

// Latin-1 bytes as UTF-8, and back: false when text holds a character above
// U+00FF or is not UTF-8. For the string type and its tests.
std::string Latin1ToUtf8(std::string_view latin1);
bool Utf8ToLatin1(std::string_view text, std::string* latin1);

// A message as text: compact, and any byte that is not UTF-8 (a name cut
// short in an error's text, a host name from the network) printed as U+FFFD
// instead of failing.
std::string PrintMessage(const Json& message);

// A request's member key as a string, or kBadRequest naming it (missing, not
// a string, empty, or kLimit above kMaxNameBytes when it is a name).
WebStatus RequiredName(const Json& object, const char* key, const std::string** out);
