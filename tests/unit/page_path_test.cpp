// The pages' path rules: what a request may name (and every way of naming
// something outside the pages folder, or a Windows device or stream, that it
// may not), and the Content-Type of each extension.
#include "web/page_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PagePath, WhatARequestMayName) {
  const std::string longest = "/" + std::string(kMaxPagePathBytes - 1, 'a');
  const struct {
    const char* method;
    std::string path;
    PageVerdict verdict;
    const char* page;  // when served
  } cases[] = {
      {"GET", "/", PageVerdict::kServe, "index.html"},
      {"HEAD", "/", PageVerdict::kServe, "index.html"},
      {"GET", "/status.html", PageVerdict::kServe, "status.html"},
      {"GET", "/gauges/panel.json", PageVerdict::kServe, "gauges/panel.json"},
      {"GET", "/my%20panel.html", PageVerdict::kServe, "my panel.html"},
      {"GET", "/%252e%252e/x", PageVerdict::kServe, "%2e%2e/x"},  // decoded once only
      {"GET", "/a..b.html", PageVerdict::kServe, "a..b.html"},
      {"GET", "/.hidden", PageVerdict::kServe, ".hidden"},
      {"GET", "/console.html", PageVerdict::kServe, "console.html"},  // "con" only as a whole stem
      {"GET", "/com10.txt", PageVerdict::kServe, "com10.txt"},
      {"GET", longest, PageVerdict::kServe, nullptr},
      {"POST", "/", PageVerdict::kBadMethod, nullptr},
      {"PUT", "/index.html", PageVerdict::kBadMethod, nullptr},
      {"get", "/", PageVerdict::kBadMethod, nullptr},
      {"GET", "", PageVerdict::kNotFound, nullptr},
      {"GET", "index.html", PageVerdict::kNotFound, nullptr},
      {"GET", "http://10.0.0.7/index.html", PageVerdict::kNotFound, nullptr},
      {"GET", "*", PageVerdict::kNotFound, nullptr},
      {"GET", "/..", PageVerdict::kNotFound, nullptr},
      {"GET", "/../Kestrovaline.key", PageVerdict::kNotFound, nullptr},
      {"GET", "/a/../../x", PageVerdict::kNotFound, nullptr},
      {"GET", "/%2e%2e/Kestrovaline.key", PageVerdict::kNotFound, nullptr},
      {"GET", "/%2E%2E%2FKestrovaline.key", PageVerdict::kNotFound, nullptr},
      {"GET", "/./index.html", PageVerdict::kNotFound, nullptr},
      {"GET", "//server/share", PageVerdict::kNotFound, nullptr},
      {"GET", "/a//b", PageVerdict::kNotFound, nullptr},
      {"GET", "/pages/", PageVerdict::kNotFound, nullptr},
      {"GET", "/..\\Kestrovaline.key", PageVerdict::kNotFound, nullptr},
      {"GET", "/%5c..%5cKestrovaline.key", PageVerdict::kNotFound, nullptr},
      {"GET", "/C:/Windows/win.ini", PageVerdict::kNotFound, nullptr},
      {"GET", "/c%3a%5cwin.ini", PageVerdict::kNotFound, nullptr},
      {"GET", "/index.html::$DATA", PageVerdict::kNotFound, nullptr},
      {"GET", "/index.html%00.png", PageVerdict::kNotFound, nullptr},
      {"GET", "/a%0Ab", PageVerdict::kNotFound, nullptr},
      {"GET", "/%", PageVerdict::kNotFound, nullptr},
      {"GET", "/%4", PageVerdict::kNotFound, nullptr},
      {"GET", "/%zz", PageVerdict::kNotFound, nullptr},
      {"GET", "/index.html.", PageVerdict::kNotFound, nullptr},
      {"GET", "/index.html%20", PageVerdict::kNotFound, nullptr},
      {"GET", "/CON", PageVerdict::kNotFound, nullptr},
      {"GET", "/nul.txt", PageVerdict::kNotFound, nullptr},
      {"GET", "/sub/Com1.json", PageVerdict::kNotFound, nullptr},
      {"GET", "/lpt9", PageVerdict::kNotFound, nullptr},
      {"GET", "/a*b", PageVerdict::kNotFound, nullptr},
      {"GET", "/a%3Fb", PageVerdict::kNotFound, nullptr},
      {"GET", longest + "a", PageVerdict::kNotFound, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const PageRequest got = ResolvePage(c.method, c.path);
    EXPECT_EQ(c.verdict, got.verdict);
    if (c.page != nullptr) {
      EXPECT_EQ(c.page, got.path);
    }
    if (got.verdict != PageVerdict::kServe) {
      EXPECT_EQ("", got.path);
    }
  }
}

TEST(PagePath, ContentTypeByExtension) {
  const struct {
    const char* path;
    const char* type;
  } cases[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"INDEX.HTM", "text/html; charset=utf-8"},
      {"kestrovaline.js", "text/javascript; charset=utf-8"},
      {"pages.css", "text/css; charset=utf-8"},
      {"panel.json", "application/json; charset=utf-8"},
      {"dial.svg", "image/svg+xml; charset=utf-8"},
      {"notes.txt", "text/plain; charset=utf-8"},
      {"logo.png", "image/png"},
      {"favicon.ico", "image/x-icon"},
      {"archive.zip", "application/octet-stream"},
      {"Makefile", "application/octet-stream"},
      {"v1.0/readme", "application/octet-stream"},  // a dot in a folder's name is no extension
      {"page.html.bak", "application/octet-stream"},
      {"trailing.", "application/octet-stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(c.type, PageContentType(c.path));
  }
}

}  // namespace
