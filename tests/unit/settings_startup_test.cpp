// The settings file at start-up, against real files: the default file byte
// for byte when none exists, the box texts for an invalid one in each run
// mode, the addresses loaded only when both are there, and the
// files that cannot be opened, reported once with the reason and ending the
// process.
#include "shell/settings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>

#include "settings_fixture.h"

namespace {

namespace fs = std::filesystem;

// Why a folder in a file's place cannot be opened for writing.
#ifdef _WIN32
constexpr char kFolderReason[] = "Permission denied";
#else
constexpr char kFolderReason[] = "Is a directory";
#endif

TEST_F(Settings, MissingFileIsCreatedWithTheDefaultsByteForByte) {
  for (RunMode mode : {RunMode::kStandalone, RunMode::kPlugin}) {
    SCOPED_TRACE(ProfileOf(mode).settingsPath);
    const SettingsAtStart start = LoadSettingsAtStart(mode);
    EXPECT_EQ(SettingsAtStart::kLoaded, start.outcome);
    EXPECT_STREQ(ProfileOf(mode).settingsPath, settingsPath);
    EXPECT_EQ(kDefaultFile, ReadFile(settingsPath));
    EXPECT_STREQ("192.168.1.60", start.network.thisPc);
    EXPECT_STREQ("192.168.1.40", start.network.server);
  }
  // Linux paths keep the backslashes in the name, so both files lie here
  // (under Windows: this one and the plug-in folder), and no temporary copy
  // is left beside them.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()));
}

TEST_F(Settings, StartUpBoxTextDependsOnWhetherTheFileExistedAndOnTheMode) {
  const struct {
    const char* name;
    RunMode mode;
    std::string file;
    const char* box;
  } cases[] = {
      {"valid file, standalone", RunMode::kStandalone,
       "[Network Settings]\r\nIP Address of THIS PC = 10.0.0.7\r\nIP Address of server = 10.0.0.8\r\n", nullptr},
      {"valid file, plug-in", RunMode::kPlugin,
       "[Network Settings]\r\nIP Address of THIS PC = 10.0.0.7\r\nIP Address of server = 10.0.0.8\r\n", nullptr},
      {"invalid, standalone", RunMode::kStandalone, "[Network Settings] \r\n", "Invalid Inifile!\nPlease delete it!"},
      {"invalid, plug-in", RunMode::kPlugin, "nothing\r\n", "Invalid Inifile!\n Please delete it!"},
      {"empty, standalone", RunMode::kStandalone, "", "Invalid Inifile!\nPlease delete it!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(ProfileOf(c.mode).settingsPath, c.file);
    const SettingsAtStart start = LoadSettingsAtStart(c.mode);
    const char* box = start.box;
    EXPECT_EQ(c.box == nullptr ? SettingsAtStart::kLoaded : SettingsAtStart::kInvalid, start.outcome);
    if (c.box == nullptr) {
      EXPECT_EQ(nullptr, box);
      EXPECT_STREQ("10.0.0.7", start.network.thisPc);
      EXPECT_STREQ("10.0.0.8", start.network.server);
    } else {
      EXPECT_STREQ(c.box, box);
      EXPECT_EQ(c.file, ReadFile(settingsPath));  // an existing file is never rewritten
    }
  }
}

TEST_F(Settings, PrintWithSystemErrorAppendsTheReason) {
  FILE* out = std::tmpfile();
  ASSERT_NE(nullptr, out);
  errno = ENOENT;
  const int n = PrintWithSystemError(out, "Can't open %s", "x.ini");
  const std::string expected = "Can't open x.ini: No such file or directory\n";
  EXPECT_EQ(int(expected.size()), n);
  std::rewind(out);
  char got[128] = "";
  EXPECT_EQ(expected.size(), std::fread(got, 1, sizeof got - 1, out));
  EXPECT_EQ(expected, got);
  std::fclose(out);
}

// A file that cannot be opened: one "Can't open" line on standard error, and
// the outcome that ends the program with exit code 1, whichever step met it.
TEST_F(Settings, FilesThatCannotBeOpenedAreReportedOnce) {
  const std::string missing = "Can't open missing/Kestrovaline.ini: No such file or directory";
  std::snprintf(settingsPath, sizeof settingsPath, "missing/Kestrovaline.ini");
  NetworkSettings network;
  ::testing::internal::CaptureStderr();
  Status status = LoadNetworkSettings(&network);
  EXPECT_EQ(missing + "\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(Outcome::kCannotOpen, status.outcome());
  EXPECT_EQ(missing, status.text());
  ::testing::internal::CaptureStderr();
  status = CreateDefaultSettings(network);
  EXPECT_EQ(missing + "\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(Outcome::kCannotOpen, status.outcome());
  EXPECT_EQ(missing, status.text());

  // The temporary copy cannot be created: the settings file stays as it was.
  std::snprintf(settingsPath, sizeof settingsPath, "Kestrovaline.ini");
  WriteFile(settingsPath, kDefaultFile);
  fs::create_directory("Kestrovaline.tmp");
  const std::string blocked = std::string("Can't open Kestrovaline.tmp: ") + kFolderReason;
  ::testing::internal::CaptureStderr();
  status = WriteSettingsEntry("IP Address of server", "1");
  EXPECT_EQ(blocked + "\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(Outcome::kCannotOpen, status.outcome());
  EXPECT_EQ(blocked, status.text());
  EXPECT_EQ(kDefaultFile, ReadFile(settingsPath));

  // At start-up: the file is missing, and the defaults cannot be written
  // into it (the temporary copy is still blocked).
  fs::remove(settingsPath);
  ::testing::internal::CaptureStderr();
  const SettingsAtStart start = LoadSettingsAtStart(RunMode::kStandalone);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(SettingsAtStart::kCannotOpen, start.outcome);
  EXPECT_EQ(nullptr, start.box);
  EXPECT_EQ(blocked + "\n", said) << "once, and nothing read after it";
}

// The file is written from the addresses given, not from any the link holds.
TEST_F(Settings, CreateDefaultSettingsWritesTheAddressesGiven) {
  NetworkSettings network;
  std::snprintf(network.thisPc, sizeof network.thisPc, "auto");
  std::snprintf(network.server, sizeof network.server, "10.1.2.3");
  const Status status = CreateDefaultSettings(network);
  EXPECT_EQ(Outcome::kDone, status.outcome()) << status.text();
  EXPECT_EQ("Kestrovaline Version 2.0.0.0 ini file\r\n\r\n[Network Settings]\r\n"
            "IP Address of THIS PC = auto\r\nIP Address of server = 10.1.2.3\r\n",
            ReadFile(settingsPath));
}

}  // namespace
