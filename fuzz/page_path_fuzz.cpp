// The pages' path rules over arbitrary request paths. The first input byte
// picks the method; the rest is the path. Whatever comes in, a path that is
// served must name a file under the pages folder and nothing else: relative,
// no empty, "." or ".." segment, no separator or drive of Windows, no byte
// below 0x20, no name Windows would trim, within the length bound; and every
// path has a Content-Type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/page_path.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

void CheckServed(const std::string& path) {
  Check(!path.empty() && path.size() < kMaxPagePathBytes);
  Check(path.find_first_of(std::string_view("\\:\0", 3)) == std::string::npos);
  for (unsigned char c : path) Check(c >= 0x20 && c != 0x7F);
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string segment = path.substr(start, slash - start);
    Check(!segment.empty() && segment != "." && segment != "..");
    Check(segment.back() != '.' && segment.back() != ' ');
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kMethods[] = {"GET", "HEAD", "POST", "get"};
  const char* method = kMethods[data[0] % 4];
  const std::string_view path(reinterpret_cast<const char*>(data + 1), size - 1);
  const PageRequest page = ResolvePage(method, path);
  if (page.verdict == PageVerdict::kServe) {
    Check(data[0] % 4 < 2);
    CheckServed(page.path);
  } else {
    Check(page.path.empty());
  }
  Check(PageContentType(path) != nullptr);
  return 0;
}
