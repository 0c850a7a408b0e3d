// Pages from the folder beside the program, then from the program itself.
#include "web/page_store.h"

#include <cstdio>
#include <cstring>

#include "web/embedded_pages.h"
#include "web/page_path.h"

namespace {

// A plain file of at most kMaxPageBytes; a folder or an unreadable file is
// missing (fopen opens a folder on POSIX; its read fails).
PageFound ReadPageFile(const std::string& file, std::string* body) {
  FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return PageFound::kMissing;
  body->clear();
  char chunk[16 * 1024];
  PageFound found = PageFound::kFound;
  for (;;) {
    const size_t n = std::fread(chunk, 1, sizeof chunk, in);
    if (n == 0) break;
    if (body->size() + n > kMaxPageBytes) {
      found = PageFound::kTooLarge;
      break;
    }
    body->append(chunk, n);
  }
  if (found == PageFound::kFound && std::ferror(in)) found = PageFound::kMissing;
  std::fclose(in);
  if (found != PageFound::kFound) body->clear();
  return found;
}

}  // namespace

PageFound FindPage(const std::string& folder, const std::string& path, std::string* body) {
  if (!folder.empty()) {
    const char last = folder.back();
    const PageFound found = ReadPageFile(folder + (last == '/' || last == '\\' ? "" : "/") + path, body);
    if (found != PageFound::kMissing) return found;
  }
  for (const EmbeddedPage* page = kEmbeddedPages; page->path != nullptr; ++page)
    if (path == page->path) {
      body->assign(reinterpret_cast<const char*>(page->bytes), page->size);
      return PageFound::kFound;
    }
  return PageFound::kMissing;
}
