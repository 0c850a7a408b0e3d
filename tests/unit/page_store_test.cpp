// Where pages come from: a file in the folder beside the program before the
// built-in page of the same path, the built-in pages without one, the bound
// on a file's size, and a folder of that name that is no page.
#include "web/page_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "scratch_files.h"
#include "web/embedded_pages.h"
#include "web/page_path.h"

namespace {

std::string BuiltIn(const char* path) {
  for (const EmbeddedPage* page = kEmbeddedPages; page->path != nullptr; ++page)
    if (std::string(path) == page->path) return std::string(reinterpret_cast<const char*>(page->bytes), page->size);
  return "";
}

TEST(PageStore, TheBuiltInPagesAreThePagesFolder) {
  for (const char* path : {"index.html", "kestrovaline.js"}) {
    SCOPED_TRACE(path);
    EXPECT_NE("", BuiltIn(path));
    std::string body;
    EXPECT_EQ(PageFound::kFound, FindPage("", path, &body));
    EXPECT_EQ(BuiltIn(path), body);
  }
}

TEST(PageStore, TheFolderBesideTheProgramComesFirst) {
  const std::filesystem::path folder = MakeScratchFolder("kv_pages_");
  ASSERT_FALSE(folder.empty());
  std::filesystem::create_directory(folder / "sub");
  std::filesystem::create_directory(folder / "adir");
  WriteFile(folder / "index.html", "mine");
  WriteFile(folder / "sub" / "extra.txt", "added");
  WriteFile(folder / "empty.txt", "");
  WriteFile(folder / "at_bound.png", std::string(kMaxPageBytes, 'x'));
  WriteFile(folder / "large.png", std::string(kMaxPageBytes + 1, 'x'));
  const struct {
    const char* path;
    PageFound found;
    std::string body;
  } cases[] = {
      {"index.html", PageFound::kFound, "mine"},
      {"kestrovaline.js", PageFound::kFound, BuiltIn("kestrovaline.js")},
      {"sub/extra.txt", PageFound::kFound, "added"},
      {"empty.txt", PageFound::kFound, ""},
      {"at_bound.png", PageFound::kFound, std::string(kMaxPageBytes, 'x')},
      {"large.png", PageFound::kTooLarge, ""},
      {"adir", PageFound::kMissing, ""},
      {"nothing.html", PageFound::kMissing, ""},
  };
  for (const std::string& root : {folder.string(), folder.string() + "/"})
    for (const auto& c : cases) {
      SCOPED_TRACE(root + " " + c.path);
      std::string body = "before";
      EXPECT_EQ(c.found, FindPage(root, c.path, &body));
      if (c.found == PageFound::kFound) {
        EXPECT_TRUE(c.body == body) << body.size() << " bytes";
      }
    }
  std::filesystem::remove_all(folder);
}

}  // namespace
