// The pages built into the program: every file of client/web/pages/, turned
// into bytes at build time (cmake/embed_pages.cmake writes the table).
#pragma once

#include <cstddef>

struct EmbeddedPage {
  const char* path;  // as in a request, without the leading "/" ("index.html")
  const unsigned char* bytes;
  size_t size;
};

// In the order of their paths, ending with a row whose path is nullptr.
extern const EmbeddedPage kEmbeddedPages[];
