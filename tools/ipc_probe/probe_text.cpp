// Text helpers of ipc_probe (see the header).
#include "probe_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      while (i < line.size() && line[i] != '"') word += line[i++];
      if (i < line.size()) ++i;  // closing quote
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
    }
    words.push_back(word);
  }
  return words;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseUnsigned(const std::string& word, uint64_t max, uint64_t* value) {
  size_t i = 0;
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == word.size()) return false;
  uint64_t v = 0;
  for (; i < word.size(); ++i) {
    const int d = base == 16 ? HexDigit(word[i]) : (word[i] >= '0' && word[i] <= '9' ? word[i] - '0' : -1);
    if (d < 0) return false;
    if (v > (UINT64_MAX - uint64_t(d)) / uint64_t(base)) return false;
    v = v * uint64_t(base) + uint64_t(d);
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ParseSigned(const std::string& word, int64_t min, int64_t max, int64_t* value) {
  const bool negative = !word.empty() && word[0] == '-';
  uint64_t magnitude = 0;
  if (!ParseUnsigned(negative ? word.substr(1) : word, uint64_t(INT64_MAX) + 1, &magnitude)) return false;
  int64_t v;
  if (negative)
    v = magnitude == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(magnitude);
  else if (magnitude > uint64_t(INT64_MAX))
    return false;
  else
    v = int64_t(magnitude);
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

bool ParseReal(const std::string& word, double* value) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || errno == ERANGE) return false;
  *value = v;
  return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return false;  // a blank inside a pair
      continue;
    }
    const int d = HexDigit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(uint8_t(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return false;
  *bytes = std::move(out);
  return true;
}

std::string HexBytes(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

std::string Hex32(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(c));
          out += escape;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}
