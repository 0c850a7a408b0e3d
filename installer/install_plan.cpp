// The package check and the install procedure over the FileOps seam.
#include "install_plan.h"

#include "path_text.h"

bool PackageComplete(FileOps& ops, const std::string& packageFolder) {
  for (const char* name : kPackageFiles)
    if (!ops.Exists(packageFolder + name)) return false;
  return true;
}

std::vector<std::string> DeleteList(const std::string& simFolder, const std::string& pluginsFolder) {
  const std::string plugin = pluginsFolder + kPluginFolderName;
  return {
      pluginsFolder + "tarnex.xpl",       pluginsFolder + "TARNEXOffsets.cfg",
      simFolder + "tarnex.ini",           simFolder + "tarnex.log",
      simFolder + "TARNEX.txt",           plugin + "win.xpl",
      plugin + "TARNEX.ini",              plugin + "TARNEXOffsets.cfg",
      plugin + "32\\win.xpl",             plugin + "64\\win.xpl",
  };
}

namespace {

// The identities of the package's files, taken before anything changes; a
// file whose identity the platform cannot tell matches by its path's text.
struct PackageFiles {
  const std::string& folder;
  FileIdentity ids[kPackageFileCount];
  bool known[kPackageFileCount];

  PackageFiles(FileOps& ops, const std::string& packageFolder) : folder(packageFolder) {
    for (int i = 0; i < kPackageFileCount; ++i) known[i] = ops.Identity(folder + kPackageFiles[i], &ids[i]) == 1;
  }

  // True when path names package file i, through whatever spelling.
  bool Names(FileOps& ops, const std::string& path, int i) const {
    if (SamePathText(path, folder + kPackageFiles[i])) return true;
    FileIdentity id;
    return known[i] && ops.Identity(path, &id) == 1 && id == ids[i];
  }

  // True when path names any of the package's files: deleting it would leave
  // nothing to copy.
  bool Holds(FileOps& ops, const std::string& path) const {
    for (int i = 0; i < kPackageFileCount; ++i)
      if (Names(ops, path, i)) return true;
    return false;
  }
};

int DeleteLeftovers(FileOps& ops, const PackageFiles& package, const std::string& simFolder,
                    const std::string& pluginsFolder) {
  for (const std::string& path : DeleteList(simFolder, pluginsFolder))
    if (ops.Exists(path) && !package.Holds(ops, path) && !ops.Delete(path)) return 0;
  return 1;
}

int MakeFolder(FileOps& ops, const std::string& folder) {
  return ops.Exists(folder) || ops.CreateFolder(folder) ? 1 : 0;
}

// Copies package file i to the same relative name below the plug-in folder,
// unless that is the package file itself (installing from the plug-in folder).
int CopyPackageFile(FileOps& ops, const PackageFiles& package, const std::string& dir, int i) {
  const std::string to = dir + kPackageFiles[i];
  if (package.Names(ops, to, i)) return 1;
  return ops.Copy(package.folder + kPackageFiles[i], to);
}

}  // namespace

int InstallPackage(FileOps& ops, const std::string& packageFolder, const std::string& simFolder,
                   const std::string& pluginsFolder) {
  const PackageFiles package(ops, packageFolder);
  if (!DeleteLeftovers(ops, package, simFolder, pluginsFolder)) return 0;
  const std::string dir = pluginsFolder + kPluginFolderName;
  if (!MakeFolder(ops, dir)) return 0;
  for (int i = 0; i < 3; ++i)
    if (!CopyPackageFile(ops, package, dir, i)) return 0;
  if (!MakeFolder(ops, dir + "32\\") || !CopyPackageFile(ops, package, dir, 3)) return 0;
  if (!MakeFolder(ops, dir + "64\\") || !CopyPackageFile(ops, package, dir, 4)) return 0;
  return 1;
}
