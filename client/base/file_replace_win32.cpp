#include "base/file_replace.h"

#include <windows.h>

#include <cerrno>

bool ReplaceFileWith(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD error = GetLastError();
  errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
  return false;
}
