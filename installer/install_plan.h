// What the installer checks, deletes and copies. The package files lie
// beside the installer; they go to the plug-in folder TARNEX\ below X-Plane's
// Resources\plugins\ under the same relative names. Files of earlier installs
// are deleted first (the file system matches their names without regard to
// case); any other file in these folders is left alone.
#pragma once

#include <string>
#include <vector>

#include "file_ops.h"

inline constexpr int kPackageFileCount = 5;

// Package files, relative to the package folder and, installed, to the
// plug-in folder; also the order of the package check and of the copies.
inline constexpr const char* kPackageFiles[kPackageFileCount] = {
    "win.xpl", "TARNEX.ini", "TARNEXOffsets.cfg", "32\\win.xpl", "64\\win.xpl"};

inline constexpr char kSimProgramName[] = "X-Plane.exe";
inline constexpr char kPluginsSubfolder[] = "Resources\\plugins\\";
inline constexpr char kPluginFolderName[] = "TARNEX\\";

// True when all five package files exist in packageFolder. The check stops
// at the first missing file and does not say which one it was.
bool PackageComplete(FileOps& ops, const std::string& packageFolder);

// The files that earlier installs may have left, in the order they are
// deleted.
std::vector<std::string> DeleteList(const std::string& simFolder, const std::string& pluginsFolder);

// The install: deletes every existing entry of the delete list, creates
// TARNEX\, TARNEX\32\ and TARNEX\64\ where missing, each just before its
// files are copied, and copies the five package files. Returns 1 when all
// of it was done, 0 at the first failing step, whose earlier steps stay
// done. A package that lies where it is being installed to is not deleted
// or copied onto itself: those files are already in place. Whether a path
// names one of the package's files is decided by file identity (volume
// serial number and file index), not by the path's text, since the
// installer may have been started through another spelling of the folder.
int InstallPackage(FileOps& ops, const std::string& packageFolder, const std::string& simFolder,
                   const std::string& pluginsFolder);
