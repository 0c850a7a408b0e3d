// Run-mode choice from the command line, the files and class string of each
// mode, and opening the logs of a mode.
#include "shell/run_mode.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/event_log.h"
#include "scratch_files.h"

namespace {

namespace fs = std::filesystem;

TEST(RunMode, OnlyTheExactWordSelectsPluginMode) {
  const struct {
    const char* commandLine;
    RunMode mode;
  } cases[] = {
      {"TARNEX", RunMode::kPlugin},       {"tarnex", RunMode::kStandalone},   {"Tarnex", RunMode::kStandalone},
      {"TARNEX ", RunMode::kStandalone},  {"TARNEX x", RunMode::kStandalone}, {" TARNEX", RunMode::kStandalone},
      {"TARNEXX", RunMode::kStandalone},  {"TARNE", RunMode::kStandalone},    {"\"TARNEX\"", RunMode::kStandalone},
      {"", RunMode::kStandalone},         {nullptr, RunMode::kStandalone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commandLine == nullptr ? "(null)" : c.commandLine);
    EXPECT_EQ(c.mode, ChooseRunMode(c.commandLine));
  }
}

TEST(RunMode, ProfilesNameTheFilesAndTheClassOfEachMode) {
  const struct {
    RunMode mode;
    const char* eventLog;
    const char* requestLog;
    const char* settings;
    unsigned classNameId;
    int hide;
  } cases[] = {
      {RunMode::kStandalone, "Kestrovaline.txt", "Kestrovaline.log", "Kestrovaline.ini", 109, 0},
      {RunMode::kPlugin, ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.txt",
       ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.log", ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.ini",
       111, 1},
  };
  for (const auto& c : cases) {
    const RunModeProfile& p = ProfileOf(c.mode);
    SCOPED_TRACE(c.eventLog);
    EXPECT_STREQ(c.eventLog, p.eventLogPath);
    EXPECT_STREQ(c.requestLog, p.requestLogPath);
    EXPECT_STREQ(c.settings, p.settingsPath);
    EXPECT_EQ(c.classNameId, p.classNameId);
    EXPECT_EQ(c.hide, p.hideWindow);
  }
}

// A log that cannot be created is named; the event log is left closed.
TEST(RunMode, OpenRunModeLogsNamesTheLogThatCannotBeCreated) {
  const fs::path home = fs::current_path();
  const fs::path folder = MakeScratchFolder("kv_run_mode_");
  ASSERT_FALSE(folder.empty());
  const struct {
    const char* blocked;  // made a folder, so it cannot be opened as a file
    int result;
  } cases[] = {{nullptr, 1}, {"Kestrovaline.txt", 0}, {"Kestrovaline.log", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.blocked == nullptr ? "none" : c.blocked);
    const fs::path scratch = folder / (c.blocked == nullptr ? "ok" : c.blocked);
    fs::create_directories(scratch);
    fs::current_path(scratch);
    if (c.blocked != nullptr) fs::create_directory(c.blocked);
    const char* failed = nullptr;
    EXPECT_EQ(c.result, OpenRunModeLogs(RunMode::kStandalone, &failed));
    LogEvent("line\n");
    CloseEventLog();
    if (c.blocked == nullptr) {
      EXPECT_EQ(nullptr, failed);
      EXPECT_EQ("line\r\n", ReadFile("Kestrovaline.txt"));
      EXPECT_EQ("Kestrovaline Version 2.0.0.0 log file\r\n\r\n", ReadFile("Kestrovaline.log"));
    } else {
      EXPECT_STREQ(c.blocked, failed);
      if (fs::is_regular_file("Kestrovaline.txt")) {
        EXPECT_EQ("", ReadFile("Kestrovaline.txt"));
      }
    }
    fs::current_path(home);
  }
  fs::remove_all(folder);
}

}  // namespace
