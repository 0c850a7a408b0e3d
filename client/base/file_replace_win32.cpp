#include "base/file_replace.h"

#include <windows.h>

#include <cerrno>

bool ReplaceFileWith(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  errno = GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION ? EACCES : EIO;
  return false;
}
