// Start-up, folder selection and install of the installer's window, as
// decisions over InstallerState; the window turns them into colours and boxes.
#include "installer_state.h"

#include "install_plan.h"
#include "path_text.h"

int LoadPackage(InstallerState& state, FileOps& ops, const std::string& programPath) {
  state.packageFolder = ProgramFolder(programPath);
  return PackageComplete(ops, state.packageFolder) ? 1 : 0;
}

static FolderChoice Reject(InstallerState& state) {
  state.simFolder.clear();
  state.pluginsFolder.clear();
  return FolderChoice::kRejected;
}

FolderChoice ChooseSimFolder(InstallerState& state, FileOps& ops, const BrowseResult& result) {
  if (!result.chosen) return FolderChoice::kCancelled;
  // "\" alone would name the root of the current drive, not the chosen item.
  if (result.path.empty()) return Reject(state);
  state.simFolder = EnsureBackslash(result.path);
  if (!ops.Exists(state.simFolder + kSimProgramName)) return Reject(state);
  state.pluginsFolder = state.simFolder + kPluginsSubfolder;
  if (!ops.Exists(state.pluginsFolder)) return Reject(state);
  return FolderChoice::kAccepted;
}

bool InstallEnabled(const InstallerState& state) {
  return !state.simFolder.empty() && !state.pluginsFolder.empty();
}

int Install(const InstallerState& state, FileOps& ops) {
  if (!InstallEnabled(state)) return 0;
  return InstallPackage(ops, state.packageFolder, state.simFolder, state.pluginsFolder);
}
