// FileOps over PathFileExistsA, DeleteFileA, CreateDirectoryA, CopyFileA and
// GetFileInformationByHandle.
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

// The file is opened for no access at all, sharing everything, so a file in
// use still tells who it is; the handle lives for this call only.
int Win32FileOps::Identity(const std::string& path, FileIdentity* id) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return 0;
  id->volumeSerial = info.dwVolumeSerialNumber;
  id->fileIndex = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return 1;
}
