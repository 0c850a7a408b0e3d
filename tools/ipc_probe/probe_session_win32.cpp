// The probe's side of the local IPC protocol (see the header).
#include "probe_session_win32.h"

#include <cstdio>

#include "window_ops_win32.h"

namespace {

void ReleaseArea(ProbeSession& s) {
  if (s.area) UnmapViewOfFile(s.area);
  if (s.mapping) CloseHandle(s.mapping);
  s.area = nullptr;
  s.mapping = nullptr;
  s.areaSize = 0;
}

std::string SystemError(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

bool PrepareArea(ProbeSession& s, size_t need, std::string* error) {
  size_t size;
  if (s.chosenMapSize) {
    if (need > s.chosenMapSize) {
      *error = "the request takes " + std::to_string(need) + " bytes, the chosen mapping holds " +
               std::to_string(s.chosenMapSize);
      return false;
    }
    size = s.chosenMapSize;
  } else {
    size = kDefaultMapSize;
    while (size < need) size += 0x1000;
    if (s.area && s.areaSize >= size) return true;  // a grown area stays
  }
  if (s.area && s.areaSize == size) return true;
  ReleaseArea(s);
  // A fresh name per mapping: the window opens the mapping by the atom's name
  // and must never find an older one of another size.
  std::snprintf(s.mappingName, sizeof s.mappingName, "KvProbe-%lu-%u", GetCurrentProcessId(), ++s.mappingSerial);
  const unsigned long long wide = size;
  const DWORD reserve = s.reserved ? SEC_RESERVE : 0;
  s.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | reserve, DWORD(wide >> 32),
                                 DWORD(wide), s.mappingName);
  if (!s.mapping) {
    *error = SystemError("CreateFileMappingA");
    return false;
  }
  s.area = static_cast<uint8_t*>(MapViewOfFile(s.mapping, FILE_MAP_ALL_ACCESS, 0, 0, size));
  if (!s.area) {
    *error = SystemError("MapViewOfFile");
    ReleaseArea(s);
    return false;
  }
  if (s.reserved && s.committed != 0 &&
      VirtualAlloc(s.area, s.committed < size ? s.committed : size, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    *error = SystemError("VirtualAlloc");
    ReleaseArea(s);
    return false;
  }
  s.areaSize = size;
  return true;
}

void SetReservedAreas(ProbeSession& s, bool reserved, size_t committed) {
  ReleaseArea(s);  // the next request makes its mapping the new way
  s.reserved = reserved;
  s.committed = reserved ? committed : 0;
}

bool EnsureWindow(ProbeSession& s, std::string* error) {
  if (s.window && IsWindow(s.window)) return true;
  const std::string cls = s.windowClass;
  s.window = PollFor(s.waitMs, [&cls] { return FindClientWindow(cls); });
  if (s.window) return true;
  *error = "no window of class " + (cls.empty() ? std::string("FS98MAIN or UIPCMAIN") : cls) + " after " +
           std::to_string(s.waitMs) + " ms";
  return false;
}

bool SendRequest(ProbeSession& s, uint32_t* result, std::string* error) {
  if (!EnsureWindow(s, error)) return false;
  if (!s.ipcMessage) s.ipcMessage = RegisterWindowMessageA("FsasmLib:IPC");
  if (!s.ipcMessage) {
    *error = SystemError("RegisterWindowMessageA");
    return false;
  }
  const ATOM atom = GlobalAddAtomA(s.mappingName);
  if (!atom) {
    *error = SystemError("GlobalAddAtomA");
    return false;
  }
  DWORD_PTR answer = 0;
  SetLastError(0);
  const LRESULT sent = SendMessageTimeoutA(s.window, s.ipcMessage, atom, 0, SMTO_NORMAL, s.sendMs, &answer);
  const DWORD sendError = GetLastError();
  GlobalDeleteAtom(atom);
  if (!sent) {
    *error = sendError == ERROR_TIMEOUT || sendError == 0
                 ? "no answer within " + std::to_string(s.sendMs) + " ms"
                 : "SendMessageTimeoutA failed (error " + std::to_string(sendError) + ")";
    return false;
  }
  *result = uint32_t(answer);
  return true;
}

void CloseSession(ProbeSession& s) {
  ReleaseArea(s);
  if (s.event) CloseHandle(s.event);
  s.event = nullptr;
}
