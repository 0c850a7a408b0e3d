// For the settings file's tests: the Settings fixture, which runs every test
// in a scratch folder of its own, and the default file the client writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "scratch_files.h"
#include "shell/settings.h"

inline constexpr char kDefaultFile[] =
    "Kestrovaline Version 2.0.0.0 ini file\r\n"
    "\r\n"
    "[Network Settings]\r\n"
    "IP Address of THIS PC = 192.168.1.60\r\n"
    "IP Address of server = 192.168.1.40\r\n";

// Every test runs in a scratch folder of its own.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::current_path();
    scratch_ = MakeScratchFolder("kv_settings_");
    ASSERT_FALSE(scratch_.empty());
    std::filesystem::current_path(scratch_);
#ifdef _WIN32
    // The plug-in mode's path names real folders here (Linux keeps the
    // backslashes in one file name).
    std::filesystem::create_directories("Resources/plugins/TARNEX/64");
#endif
    std::snprintf(settingsPath, sizeof settingsPath, "Kestrovaline.ini");
  }
  void TearDown() override {
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(scratch_);
  }

  std::filesystem::path home_, scratch_;
};
