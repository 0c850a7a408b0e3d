// The installer's program-wide state and the steps of its window that decide
// something: start-up, folder selection and install. The window only shows
// the outcome (button colour, enabled state, message boxes). One thread.
#pragma once

#include <string>

#include "file_ops.h"

struct InstallerState {
  std::string packageFolder;  // folder of the running installer; set once at start-up
  std::string simFolder;      // the accepted X-Plane main folder, or empty
  std::string pluginsFolder;  // simFolder + "Resources\plugins\"; empty exactly when simFolder is
};

// What the folder browser gave back.
struct BrowseResult {
  int chosen = 0;    // 0 the user cancelled, 1 an item was chosen
  std::string path;  // the chosen item's file-system path; empty when it has none
};

enum class FolderChoice {
  kCancelled,  // nothing changed; an earlier accepted folder stays accepted
  kAccepted,   // simFolder and pluginsFolder set: light green, install enabled
  kRejected,   // both emptied: button face, install disabled, warning
};

// Start-up: sets packageFolder from the program file's path. Returns 1 when
// the package beside the program is complete, 0 when a file is missing.
int LoadPackage(InstallerState& state, FileOps& ops, const std::string& programPath);

// Folder check of a browse result: the folder must hold "X-Plane.exe" and
// "Resources\plugins\". An item without a file-system path is rejected.
FolderChoice ChooseSimFolder(InstallerState& state, FileOps& ops, const BrowseResult& result);

// True exactly when a folder is accepted.
bool InstallEnabled(const InstallerState& state);

// Installs into the accepted folder. Returns 1 when done, 0 when a step
// failed (or no folder is accepted); the state never changes.
int Install(const InstallerState& state, FileOps& ops);
