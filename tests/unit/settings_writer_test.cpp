// The settings writer, against real files: rewriting through the temporary
// copy (key lines normalised, every other line kept, a missing key or section
// added), a failed rewrite and what it says, and the temporary copy's name.
#include "shell/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "settings_fixture.h"

namespace {

namespace fs = std::filesystem;

TEST_F(Settings, WriterRewritesThroughTheTemporaryCopy) {
  const std::string key = "IP Address of server";
  const struct {
    const char* name;
    std::string before, value, after;
  } cases[] = {
      {"normalises key lines, keeps every other line",
       "; settings\n\n[Other]\r\n  odd   =  line ; kept as it is\r\n[Network Settings]\r\n"
       "  IP Address of THIS PC=10.0.0.1   ; office\r\n   \r\n% note\r\nbare\r\nip address of SERVER == 1.1.1.1\r\n"
       "Extra =\"x;y\" ; q\r\n",
       "10.0.0.2",
       "; settings\r\n\r\n[Other]\r\n  odd   =  line ; kept as it is\r\n[Network Settings]\r\n"
       "IP Address of THIS PC = 10.0.0.1\r\n   \r\n% note\r\nbare = \r\nip address of SERVER = 10.0.0.2\r\n"
       "Extra = \"x;y\"\r\n"},
      {"repeated key: only the first is replaced",
       "[Network Settings]\r\nIP Address of server = 1\r\nIP Address of server=2\r\n", "3",
       "[Network Settings]\r\nIP Address of server = 3\r\nIP Address of server = 2\r\n"},
      {"missing key goes before the next section",
       "[Network Settings]\r\na = 1\r\n[Later]\r\nIP Address of server = 9\r\n", "4",
       "[Network Settings]\r\na = 1\r\nIP Address of server = 4\r\n[Later]\r\nIP Address of server = 9\r\n"},
      {"missing key at the end of an open section", "[Network Settings]\r\na = 1\r\n", "5",
       "[Network Settings]\r\na = 1\r\nIP Address of server = 5\r\n"},
      {"missing section is added", "[Other]\r\na = 1\r\n", "6",
       "[Other]\r\na = 1\r\n[Network Settings]\r\nIP Address of server = 6\r\n"},
      {"section reopened at the end is not repeated", "[Network Settings]\r\n[Other]\r\n[NETWORK SETTINGS]\r\n", "7",
       "[Network Settings]\r\nIP Address of server = 7\r\n[Other]\r\n[NETWORK SETTINGS]\r\n"},
      {"empty file", "", "8", "[Network Settings]\r\nIP Address of server = 8\r\n"},
      {"unterminated last line is lost", "[Network Settings]\r\nIP Address of server = 1\r\nlost", "9",
       "[Network Settings]\r\nIP Address of server = 9\r\n"},
      {"long value cut to 129", "[Network Settings]\r\n", std::string(140, 'v'),
       "[Network Settings]\r\n" + key + " = " + std::string(129, 'v') + "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(settingsPath, c.before);
    const Status status = WriteSettingsEntry(key.c_str(), c.value.c_str());
    EXPECT_EQ(Outcome::kDone, status.outcome()) << status.text();
    EXPECT_EQ(c.after, ReadFile(settingsPath));
    EXPECT_FALSE(fs::exists("Kestrovaline.tmp"));
  }
}

TEST_F(Settings, WriterFailureLeavesTheFileAsItWas) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder does not open as a file under Windows (that case is kCannotOpen)";
#endif
  fs::create_directory("folder.ini");
  std::snprintf(settingsPath, sizeof settingsPath, "folder.ini");
  const Status status = WriteSettingsEntry("a", "1");
  EXPECT_EQ(Outcome::kFailed, status.outcome());
  EXPECT_STREQ("Can't read folder.ini: Is a directory", status.text());
  EXPECT_TRUE(fs::is_directory("folder.ini"));
  EXPECT_TRUE(fs::exists("folder.tmp"));  // the copy stays behind
}

// The new file takes the old one's place in one step: another thread that
// looks for the file all the while a key is rewritten again and again always
// finds it, so a crash at any moment would leave one of the two.
TEST_F(Settings, WriterNeverLeavesAMomentWithoutTheFile) {
  WriteFile(settingsPath, "[Network Settings]\r\n");
  std::atomic<bool> writing{true};
  std::atomic<int> looks{0}, missing{0};
  std::thread looker([&] {
    while (writing.load()) {
      if (!fs::exists(settingsPath)) missing.fetch_add(1);
      looks.fetch_add(1);
    }
  });
  Status status = Status::Done();
  for (int i = 0; i < 300 && status.ok(); ++i)
    status = WriteSettingsEntry("IP Address of server", std::to_string(i).c_str());
  writing.store(false);
  looker.join();  // before any assertion can leave the test
  ASSERT_EQ(Outcome::kDone, status.outcome()) << status.text();
  EXPECT_EQ(0, missing.load()) << "of " << looks.load() << " looks";
  EXPECT_EQ("[Network Settings]\r\nIP Address of server = 299\r\n", ReadFile(settingsPath));
}

// A settings path one character too long for its temporary copy's name: the
// file is left alone and nothing is written beside it.
TEST_F(Settings, WriterFailsWhenTheTemporaryPathDoesNotFit) {
#ifdef _WIN32
  GTEST_SKIP() << "a path this long does not open under Windows (MAX_PATH)";
#endif
  const std::string path = "d/" + std::string(kSettingsPathSize - 4 - 2, 'x');  // "d\xx...x.tmp" needs 261 bytes
  fs::create_directory("d");
  WriteFile(path, kDefaultFile);
  std::snprintf(settingsPath, sizeof settingsPath, "%s", path.c_str());
  ::testing::internal::CaptureStderr();
  const Status status = WriteSettingsEntry("a", "1");
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(Outcome::kFailed, status.outcome());
  EXPECT_PRED_FORMAT2(::testing::IsSubstring, "No room for the temporary path", status.text());
  EXPECT_EQ(kDefaultFile, ReadFile(path));
  EXPECT_EQ(1, std::distance(fs::directory_iterator("d"), fs::directory_iterator()));
}

TEST_F(Settings, MakeTempPathCases) {
  const std::string x255(255, 'x');
  const struct {
    std::string path;
    int result;
    std::string temp;
  } cases[] = {
      {".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.ini", 1, ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.tmp"},
      {"a/b/c.ini", 1, "a\\b\\c.tmp"},
      {"dir.d/settings", 1, "dir.d\\settings.tmp"},
      {"x.ini.longer", 1, "x.ini.tmp"},
      {"a.", 1, "a.tmp"},
      {x255, 1, x255 + ".tmp"},
      {x255 + "x", 0, x255 + "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char path[kSettingsPathSize];
    std::snprintf(path, sizeof path, "%s", c.path.c_str());
    EXPECT_EQ(c.result, MakeTempPath(path));
    EXPECT_EQ(c.temp, path);
  }
}

}  // namespace
