// Run-mode choice and the per-mode file names and class string.
#include "shell/run_mode.h"

#include <cstdio>
#include <cstring>

#include "base/event_log.h"
#include "shell/resources/resource.h"

namespace {

constexpr char kPluginArgument[] = "TARNEX";

constexpr RunModeProfile kStandaloneProfile = {
    "Kestrovaline.txt", "Kestrovaline.log", "Kestrovaline.ini", IDS_CLASS_STANDALONE, 0};

constexpr RunModeProfile kPluginProfile = {
    ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.txt",
    ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.log",
    ".\\Resources\\plugins\\TARNEX\\64\\Kestrovaline.ini",
    IDS_CLASS_PLUGIN, 1};

// 1 when path can be opened for appending (created if missing).
int CanAppend(const char* path) {
  FILE* stream = std::fopen(path, "ab");
  if (stream == nullptr) return 0;
  std::fclose(stream);
  return 1;
}

}  // namespace

RunMode ChooseRunMode(const char* commandLine) {
  if (commandLine != nullptr && std::strcmp(commandLine, kPluginArgument) == 0) return RunMode::kPlugin;
  return RunMode::kStandalone;
}

const RunModeProfile& ProfileOf(RunMode mode) {
  return mode == RunMode::kPlugin ? kPluginProfile : kStandaloneProfile;
}

int OpenRunModeLogs(RunMode mode, const char** failedPath) {
  const RunModeProfile& profile = ProfileOf(mode);
  if (OpenLogs(profile.eventLogPath, profile.requestLogPath) != 0) return 1;
  // OpenLogs does not say which file failed; the event log is the one asked
  // about first, as it is the one the user looks for.
  *failedPath = CanAppend(profile.eventLogPath) ? profile.requestLogPath : profile.eventLogPath;
  return 0;
}
