// The two run modes. The command line alone decides: exactly "TARNEX" is
// plug-in mode (the program runs from the simulator's main folder and keeps
// its files in the plug-in package's folder), anything else is standalone
// mode (files in the working directory). Portable; the shell turns the
// profile into window calls.
#pragma once

#include <cstddef>

enum class RunMode {
  kStandalone,  // files in the working directory, class "FS98MAIN", window shown
  kPlugin,      // files under .\Resources\plugins\TARNEX\64\, class "UIPCMAIN", window hidden
};

// What differs between the modes. Every path is relative to the working
// directory and uses the Windows separator.
struct RunModeProfile {
  const char* eventLogPath;    // Kestrovaline.txt
  const char* requestLogPath;  // Kestrovaline.log
  const char* settingsPath;    // Kestrovaline.ini
  unsigned classNameId;        // string resource that holds the window class name
  int hideWindow;              // 1: the window is created but never shown
};

// Compares the command line (program name and leading blanks already
// removed) byte for byte with "TARNEX". A null command line is standalone.
RunMode ChooseRunMode(const char* commandLine);

const RunModeProfile& ProfileOf(RunMode mode);

// Empties both logs of the mode (the event log stays open, the request log
// gets its header). Returns 1, or 0 with *failedPath set to the path of a log
// that could not be created; the event log is then closed.
int OpenRunModeLogs(RunMode mode, const char** failedPath);
