// The Win32 side of the local IPC service: from the message's atom to a
// mapped view of the caller's request area. The view's size comes from the
// platform, so the walker never trusts the caller about where the area ends.
// Main thread only, inside the registered message.
#include "ipc/ipc_service_win32.h"

#include <cstdint>

#include "ipc/request_walker.h"

// The message carries the atom in its WPARAM and the answer in its LRESULT,
// pointer-wide on either Windows width.
static_assert(sizeof(ATOM) == 2 && sizeof(WPARAM) == sizeof(void*) && sizeof(LRESULT) == sizeof(void*));

namespace {

constexpr int kAtomNameSize = 260;

// The bytes from the view's base to the end of its region: the whole view,
// rounded up to whole pages. 0 when the platform cannot tell.
size_t ViewSize(const void* view) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
  return info.RegionSize;
}

}  // namespace

LRESULT HandleIpcRequest(ATOM atom, WriteBatchSender send) {
  char name[kAtomNameSize];
  if (GlobalGetAtomNameA(atom, name, kAtomNameSize) == 0) return 0;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  if (mapping == nullptr) return 0;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (view == nullptr) {
    CloseHandle(mapping);
    return 0;
  }
  const int result = WalkRequest(static_cast<uint8_t*>(view), ViewSize(view), send);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return RequestMessageResult(result);
}
