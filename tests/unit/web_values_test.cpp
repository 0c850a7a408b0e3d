// The field types and their JSON forms on their own: the image's bytes of
// every type as JSON (64-bit extremes, NaN and infinities, Latin-1 strings),
// JSON values as bytes with every range and form a type refuses, round trips
// of many bit patterns, and the fields a request may describe.
#include "web/web_values.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "web/web_limits.h"

namespace {

using Bytes = std::vector<uint8_t>;

Field F(ValueType type, uint32_t size) { return Field{0, size, type}; }

Bytes F32Bytes(float f) {
  Bytes b(4);
  std::memcpy(b.data(), &f, 4);  // the test hosts are little-endian, as the image is
  return b;
}
Bytes F64Bytes(double d) {
  Bytes b(8);
  std::memcpy(b.data(), &d, 8);
  return b;
}

TEST(WebValues, DecodesTheImageBytesOfEachType) {
  const struct { const char* name; ValueType type; Bytes bytes; const char* json; } cases[] = {
      {"u8 highest", ValueType::kU8, {0xFF}, "255"},
      {"s8 -1", ValueType::kS8, {0xFF}, "-1"},
      {"s8 highest", ValueType::kS8, {0x7F}, "127"},
      {"u16 little-endian", ValueType::kU16, {0x34, 0x12}, "4660"},
      {"s16 lowest", ValueType::kS16, {0x00, 0x80}, "-32768"},
      {"u32 highest", ValueType::kU32, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
      {"s32 lowest", ValueType::kS32, {0, 0, 0, 0x80}, "-2147483648"},
      {"s32 -2", ValueType::kS32, {0xFE, 0xFF, 0xFF, 0xFF}, "-2"},
      {"u64 highest", ValueType::kU64, Bytes(8, 0xFF), "18446744073709551615"},
      {"u64 2^53 + 1, beyond a double", ValueType::kU64, {1, 0, 0, 0, 0, 0, 0x20, 0}, "9007199254740993"},
      {"s64 lowest", ValueType::kS64, {0, 0, 0, 0, 0, 0, 0, 0x80}, "-9223372036854775808"},
      {"s64 highest", ValueType::kS64, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, "9223372036854775807"},
      {"s64 -1", ValueType::kS64, Bytes(8, 0xFF), "-1"},
      {"f32 1.5", ValueType::kF32, F32Bytes(1.5f), "1.5"},
      {"f32 0.1 as its shortest decimal", ValueType::kF32, F32Bytes(0.1f), "0.1"},
      {"f32 largest", ValueType::kF32, F32Bytes(3.4028234663852886e38f), "3.4028235e+38"},
      {"f64 -0.25", ValueType::kF64, F64Bytes(-0.25), "-0.25"},
      {"f32 NaN", ValueType::kF32, {0, 0, 0xC0, 0x7F}, "null"},
      {"f32 infinity", ValueType::kF32, {0, 0, 0x80, 0x7F}, "null"},
      {"f64 -infinity", ValueType::kF64, {0, 0, 0, 0, 0, 0, 0xF0, 0xFF}, "null"},
      {"f64 NaN", ValueType::kF64, {1, 0, 0, 0, 0, 0, 0xF8, 0x7F}, "null"},
      {"string up to the NUL", ValueType::kString, {'A', 'B', 0, 'C'}, "\"AB\""},
      {"string filling its size", ValueType::kString, {'A', 'B', 'C'}, "\"ABC\""},
      {"string empty", ValueType::kString, {0, 'X'}, "\"\""},
      {"string Latin-1 as UTF-8", ValueType::kString, {0xE9, 0xFF, 0x80, 0}, "\"\xC3\xA9\xC3\xBF\xC2\x80\""},
      {"string control character escaped", ValueType::kString, {'"', 0x01}, "\"\\\"\\u0001\""},
      {"bytes", ValueType::kBytes, {0, 1, 0xFF}, "[0,1,255]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.json, PrintMessage(DecodeValue(F(c.type, uint32_t(c.bytes.size())), c.bytes.data())));
  }
}

TEST(WebValues, EncodesValuesOrRefusesThem) {
  const Bytes kRefused;  // bad_value
  const struct { const char* name; ValueType type; uint32_t size; const char* json; Bytes bytes; } cases[] = {
      {"u8 highest", ValueType::kU8, 1, "255", {0xFF}},
      {"u8 above", ValueType::kU8, 1, "256", kRefused},
      {"u8 negative", ValueType::kU8, 1, "-1", kRefused},
      {"s8 lowest", ValueType::kS8, 1, "-128", {0x80}},
      {"s8 below", ValueType::kS8, 1, "-129", kRefused},
      {"s8 above", ValueType::kS8, 1, "128", kRefused},
      {"u16 as an integral float", ValueType::kU16, 2, "4660.0", {0x34, 0x12}},
      {"u16 as an exponent", ValueType::kU16, 2, "1e3", {0xE8, 0x03}},
      {"u16 fraction", ValueType::kU16, 2, "1.5", kRefused},
      {"s16 -0.0", ValueType::kS16, 2, "-0.0", {0, 0}},
      {"u32 highest", ValueType::kU32, 4, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"u32 above", ValueType::kU32, 4, "4294967296", kRefused},
      {"s32 lowest", ValueType::kS32, 4, "-2147483648", {0, 0, 0, 0x80}},
      {"s32 above", ValueType::kS32, 4, "2147483648", kRefused},
      {"u32 a digit string", ValueType::kU32, 4, "\"1\"", kRefused},
      {"u32 true", ValueType::kU32, 4, "true", kRefused},
      {"u32 null", ValueType::kU32, 4, "null", kRefused},
      {"u64 highest", ValueType::kU64, 8, "18446744073709551615", Bytes(8, 0xFF)},
      {"u64 2^64 (a double)", ValueType::kU64, 8, "18446744073709551616", kRefused},
      {"u64 2^63 as a float", ValueType::kU64, 8, "9.223372036854775808e18", {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"s64 lowest", ValueType::kS64, 8, "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"s64 above", ValueType::kS64, 8, "9223372036854775808", kRefused},
      // Beyond 64 bits JSON numbers are doubles, taken at their value: the
      // double next below -2^63 is refused, -2^63 as JavaScript prints it is not.
      {"s64 below (a double)", ValueType::kS64, 8, "-9223372036854777856", kRefused},
      {"s64 lowest as JavaScript prints it", ValueType::kS64, 8, "-9223372036854776000", {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"s64 -1", ValueType::kS64, 8, "-1", Bytes(8, 0xFF)},
      {"f32 1.5", ValueType::kF32, 4, "1.5", F32Bytes(1.5f)},
      {"f32 an integer", ValueType::kF32, 4, "-3", F32Bytes(-3.0f)},
      {"f32 largest as printed", ValueType::kF32, 4, "3.4028235e+38", F32Bytes(3.4028234663852886e38f)},
      {"f32 beyond", ValueType::kF32, 4, "3.5e38", kRefused},
      {"f32 a string", ValueType::kF32, 4, "\"1.5\"", kRefused},
      {"f64 largest", ValueType::kF64, 8, "1.7976931348623157e308", F64Bytes(1.7976931348623157e308)},
      {"f64 null", ValueType::kF64, 8, "null", kRefused},
      {"string NUL padded", ValueType::kString, 4, "\"\xC3\xA9\"", {0xE9, 0, 0, 0}},
      {"string filling its size", ValueType::kString, 2, "\"ab\"", {'a', 'b'}},
      {"string longer than its size", ValueType::kString, 2, "\"abc\"", kRefused},
      {"string U+0100", ValueType::kString, 4, "\"\xC4\x80\"", kRefused},
      {"string euro sign", ValueType::kString, 4, "\"\xE2\x82\xAC\"", kRefused},
      {"string a number", ValueType::kString, 4, "12", kRefused},
      {"bytes", ValueType::kBytes, 3, "[0, 255, 7.0]", {0, 0xFF, 7}},
      {"bytes short", ValueType::kBytes, 3, "[0, 255]", kRefused},
      {"bytes long", ValueType::kBytes, 1, "[0, 255]", kRefused},
      {"bytes above 255", ValueType::kBytes, 1, "[256]", kRefused},
      {"bytes negative", ValueType::kBytes, 1, "[-1]", kRefused},
      {"bytes fraction", ValueType::kBytes, 1, "[0.5]", kRefused},
      {"bytes a string", ValueType::kBytes, 1, "\"a\"", kRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.size, 0xEE);
    const WebStatus status = EncodeValue(F(c.type, c.size), Json::parse(c.json), out.data());
    if (c.bytes.empty()) {
      EXPECT_EQ(WebError::kBadValue, status.error());
      EXPECT_STRNE("", status.text());
    } else {
      EXPECT_TRUE(status.ok()) << status.text();
      EXPECT_EQ(c.bytes, out);
    }
  }
}

// Whatever the image holds, its printed JSON form writes back as the same
// bytes (NaN and infinities aside, which read as null).
TEST(WebValues, PrintedValuesWriteBackAsTheSameBytes) {
  std::mt19937_64 random(7);
  const struct { ValueType type; uint32_t size; } fields[] = {
      {ValueType::kU8, 1},  {ValueType::kS8, 1},  {ValueType::kU16, 2}, {ValueType::kS16, 2},
      {ValueType::kU32, 4}, {ValueType::kS32, 4}, {ValueType::kU64, 8}, {ValueType::kS64, 8},
      {ValueType::kF32, 4}, {ValueType::kF64, 8}, {ValueType::kBytes, 5}};
  for (const auto& f : fields) {
    SCOPED_TRACE(int(f.type));
    for (int i = 0; i < 20000; ++i) {
      Bytes bytes(f.size);
      const uint64_t r = random();
      for (uint32_t b = 0; b < f.size; ++b) bytes[b] = uint8_t(r >> (8 * (b % 8)));
      if (i < 2) std::fill(bytes.begin(), bytes.end(), uint8_t(i == 0 ? 0x00 : 0xFF));  // the extremes
      const std::string printed = PrintMessage(DecodeValue(F(f.type, f.size), bytes.data()));
      if (printed == "null") continue;
      Bytes back(f.size);
      const WebStatus status = EncodeValue(F(f.type, f.size), Json::parse(printed), back.data());
      ASSERT_TRUE(status.ok()) << printed << ": " << status.text();
      ASSERT_EQ(bytes, back) << printed;
    }
  }
}

TEST(WebValues, Latin1AndUtf8) {
  std::string every;
  for (int b = 0; b < 256; ++b) every += char(b);
  std::string back;
  ASSERT_TRUE(Utf8ToLatin1(Latin1ToUtf8(every), &back));
  EXPECT_EQ(every, back);
  EXPECT_EQ(128u + 2 * 128u, Latin1ToUtf8(every).size());

  const struct { const char* name; std::string text; } refused[] = {
      {"U+0100", "\xC4\x80"},
      {"euro sign", "a\xE2\x82\xAC"},
      {"four-byte form", "\xF0\x9F\x98\x80"},
      {"overlong NUL", std::string("\xC0\x80", 2)},
      {"overlong A", "\xC1\x81"},
      {"lone continuation byte", "\x80"},
      {"lead byte at the end", "a\xC3"},
      {"lead byte before ASCII", "\xC3" "A"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Utf8ToLatin1(c.text, &back));
  }
}

TEST(WebValues, FieldsOfARequest) {
  const struct { const char* json; WebError error; uint32_t offset; uint32_t size; } cases[] = {
      {R"({"offset":4096,"type":"u8"})", WebError::kNone, 0x1000, 1},
      {R"({"offset":"0x2000","type":"s64"})", WebError::kNone, 0x2000, 8},
      {R"({"offset":"0X1fFf","type":"u16"})", WebError::kNone, 0x1FFF, 2},
      {R"({"offset":"8192","type":"f64"})", WebError::kNone, 0x2000, 8},
      {R"({"offset":"0x1FFFF","type":"u8"})", WebError::kNone, 0x1FFFF, 1},
      {R"({"offset":"0x1FFF0","type":"string","size":16})", WebError::kNone, 0x1FFF0, 16},
      {R"({"offset":0,"type":"bytes","size":4096})", WebError::kNone, 0, 4096},
      {R"({"offset":0,"type":"u32","size":4})", WebError::kNone, 0, 4},
      {R"({"offset":"0x1FFFF","type":"u16"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":131072,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"0x1FFF0","type":"string","size":17})", WebError::kBadOffset, 0, 0},
      {R"({"offset":-1,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":1.5,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":true,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"0x","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"12abc","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":" 12","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"-1","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"0x-1","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":"0x100000000","type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":4294967296,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"offset":4294967295,"type":"u8"})", WebError::kBadOffset, 0, 0},
      {R"({"type":"u8"})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"u128"})", WebError::kBadType, 0, 0},
      {R"({"offset":0,"type":"U8"})", WebError::kBadType, 0, 0},
      {R"({"offset":0,"type":8})", WebError::kBadType, 0, 0},
      {R"({"offset":0,"type":"string"})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"bytes","size":0})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"bytes","size":-4})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"bytes","size":"4"})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"bytes","size":2.0})", WebError::kBadRequest, 0, 0},
      {R"({"offset":0,"type":"bytes","size":4097})", WebError::kLimit, 0, 0},
      {R"({"offset":0,"type":"u32","size":2})", WebError::kBadRequest, 0, 0},
      {R"([0])", WebError::kBadRequest, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Field field{7, 7, ValueType::kBytes};
    const WebStatus status = ParseField(Json::parse(c.json), &field);
    EXPECT_EQ(c.error, status.error()) << status.text();
    if (c.error == WebError::kNone) {
      EXPECT_EQ(c.offset, field.offset);
      EXPECT_EQ(c.size, field.size);
    } else {
      EXPECT_EQ(7u, field.offset) << "a refused field is left as it was";
    }
  }
}

}  // namespace
