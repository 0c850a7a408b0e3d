// Where a page's bytes come from: a file of that path in the pages folder
// beside the program (the user's own pages, and their replacements of the
// built-in ones), else the built-in page of that path. Reads files with the
// C library, on the caller's thread (the gateway's io thread: pages are
// small local files).
#pragma once

#include <string>

enum class PageFound {
  kFound,     // *body holds the page
  kMissing,   // no file and no built-in page of that path
  kTooLarge,  // the folder's file is larger than kMaxPageBytes
};

// path is one that ResolvePage gave (no "..", no drive); folder "" looks
// only at the built-in pages.
PageFound FindPage(const std::string& folder, const std::string& path, std::string* body);
