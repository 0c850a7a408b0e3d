// FileOps over PathFileExistsA, DeleteFileA, CreateDirectoryA and CopyFileA.
#include "file_ops_win32.h"

#include <windows.h>
#include <shlwapi.h>

int Win32FileOps::Exists(const std::string& path) { return PathFileExistsA(path.c_str()) ? 1 : 0; }

// A read-only file is not deleted: DeleteFileA refuses it, as it refuses a
// file in use.
int Win32FileOps::Delete(const std::string& path) { return DeleteFileA(path.c_str()) ? 1 : 0; }

int Win32FileOps::CreateFolder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) ? 1 : 0;
}

int Win32FileOps::Copy(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) ? 1 : 0;
}
