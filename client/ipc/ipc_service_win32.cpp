// The Win32 side of the local IPC service: from the message's atom to a
// mapped view of the caller's request area. The view's size comes from the
// platform, so the walker never trusts the caller about where the area ends;
// and it is the committed part only, since the caller may have made its
// mapping with SEC_RESERVE and committed less than it maps. Main thread only,
// inside the registered message.
#include "ipc/ipc_service_win32.h"

#include <cstdint>

#include "ipc/request_walker.h"

// The message carries the atom in its WPARAM and the answer in its LRESULT,
// pointer-wide on either Windows width.
static_assert(sizeof(ATOM) == 2 && sizeof(WPARAM) == sizeof(void*) && sizeof(LRESULT) == sizeof(void*));

namespace {

constexpr int kAtomNameSize = 260;

constexpr DWORD kReadWrite = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

}  // namespace

size_t CommittedViewSize(const void* view) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
  if (info.State != MEM_COMMIT || (info.Protect & kReadWrite) == 0 || (info.Protect & PAGE_GUARD) != 0) return 0;
  return info.RegionSize;  // the run of pages from the base that share this state and protection
}

LRESULT HandleIpcRequest(ATOM atom, WriteBatchSender& sender) {
  char name[kAtomNameSize];
  if (GlobalGetAtomNameA(atom, name, kAtomNameSize) == 0) return 0;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  if (mapping == nullptr) return 0;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (view == nullptr) {
    CloseHandle(mapping);
    return 0;
  }
  const Outcome result = WalkRequest(static_cast<uint8_t*>(view), CommittedViewSize(view), sender);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return RequestMessageResult(result);
}
