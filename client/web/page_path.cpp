// The rules that turn a request's path into a page's name.
#include "web/page_path.h"

#include <cstring>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes %XX once; false on a '%' not followed by two hex digits.
bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int high = HexDigit(in[i + 1]), low = HexDigit(in[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(char(high << 4 | low));
    i += 2;
  }
  return true;
}

bool ForbiddenChar(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::strchr("\\:<>\"|?*", c) != nullptr;
}

// Names Windows gives to devices in every folder, with or without an extension.
bool DeviceName(std::string_view segment) {
  const std::string stem = LowerCase(segment.substr(0, segment.find('.')));
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* device : kDevices)
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

bool SegmentAllowed(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  if (segment.back() == '.' || segment.back() == ' ') return false;  // Windows drops them: "a.html." is a.html
  return !DeviceName(segment);
}

}  // namespace

PageRequest ResolvePage(std::string_view method, std::string_view path) {
  PageRequest out;
  if (method != "GET" && method != "HEAD") {
    out.verdict = PageVerdict::kBadMethod;
    return out;
  }
  std::string decoded;
  if (!PercentDecode(path, &decoded) || decoded.empty() || decoded.front() != '/' ||
      decoded.size() > kMaxPagePathBytes)
    return out;
  if (decoded == "/") decoded = "/index.html";
  for (char c : decoded)
    if (ForbiddenChar(c)) return out;
  std::string_view rest = std::string_view(decoded).substr(1);
  for (;;) {
    const size_t slash = rest.find('/');
    if (!SegmentAllowed(rest.substr(0, slash))) return out;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  out.verdict = PageVerdict::kServe;
  out.path = decoded.substr(1);
  return out;
}

const char* PageContentType(std::string_view path) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {"html", "text/html; charset=utf-8"},        {"htm", "text/html; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},    {"mjs", "text/javascript; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},          {"json", "application/json; charset=utf-8"},
      {"svg", "image/svg+xml; charset=utf-8"},     {"txt", "text/plain; charset=utf-8"},
      {"png", "image/png"},                        {"ico", "image/x-icon"},
  };
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    const std::string extension = LowerCase(path.substr(dot + 1));
    for (const auto& row : kTypes)
      if (extension == row.extension) return row.type;
  }
  return "application/octet-stream";
}
