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

// Deleting one of the package's own files would leave nothing to copy.
static bool IsPackageFile(const std::string& path, const std::string& packageFolder) {
  for (const char* name : kPackageFiles)
    if (SamePathText(path, packageFolder + name)) return true;
  return false;
}

static int DeleteLeftovers(FileOps& ops, const std::string& packageFolder, const std::string& simFolder,
                           const std::string& pluginsFolder) {
  for (const std::string& path : DeleteList(simFolder, pluginsFolder))
    if (ops.Exists(path) && !IsPackageFile(path, packageFolder) && !ops.Delete(path)) return 0;
  return 1;
}

static int MakeFolder(FileOps& ops, const std::string& folder) {
  return ops.Exists(folder) || ops.CreateFolder(folder) ? 1 : 0;
}

// Copies package file i to the same relative name below the plug-in folder.
static int CopyPackageFile(FileOps& ops, const std::string& packageFolder, const std::string& dir, int i) {
  const std::string from = packageFolder + kPackageFiles[i], to = dir + kPackageFiles[i];
  if (SamePathText(from, to)) return 1;  // installing from the plug-in folder itself
  return ops.Copy(from, to);
}

int InstallPackage(FileOps& ops, const std::string& packageFolder, const std::string& simFolder,
                   const std::string& pluginsFolder) {
  if (!DeleteLeftovers(ops, packageFolder, simFolder, pluginsFolder)) return 0;
  const std::string dir = pluginsFolder + kPluginFolderName;
  if (!MakeFolder(ops, dir)) return 0;
  for (int i = 0; i < 3; ++i)
    if (!CopyPackageFile(ops, packageFolder, dir, i)) return 0;
  if (!MakeFolder(ops, dir + "32\\") || !CopyPackageFile(ops, packageFolder, dir, 3)) return 0;
  if (!MakeFolder(ops, dir + "64\\") || !CopyPackageFile(ops, packageFolder, dir, 4)) return 0;
  return 1;
}
