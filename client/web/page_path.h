// Which file an HTTP request for a page names, decided from the text of the
// request alone: pure checks, the same on every platform. A path that could
// leave the pages' folder, or name something other than a plain file under
// it on Windows (a drive, a stream, a device, a name Windows trims), is
// never a page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kMaxPagePathBytes = 256;           // the decoded path, "/" included
constexpr size_t kMaxPageBytes = 4 * 1024 * 1024;   // a file beside the program larger than this is not served

enum class PageVerdict {
  kServe,      // path holds the page's name
  kBadMethod,  // neither GET nor HEAD
  kNotFound,   // no page can have this path
};

struct PageRequest {
  PageVerdict verdict = PageVerdict::kNotFound;
  std::string path;  // relative, '/' between folders ("index.html", "gauges/panel.json")
};

// The page a request's method and path (the target before '?') name: the
// path percent-decoded once, "/" as "/index.html". Refused: a path that does
// not start with "/", an empty, "." or ".." segment, a backslash, a colon,
// any of <>"|?*, a control character or NUL, a bad %-escape, a segment that
// ends in '.' or ' ', a device name of Windows (CON, NUL, COM1, ...), and a
// path longer than kMaxPagePathBytes.
PageRequest ResolvePage(std::string_view method, std::string_view path);

// The Content-Type of a page by its extension, any letter case; text types
// say charset=utf-8. Unknown extensions are application/octet-stream.
const char* PageContentType(std::string_view path);
