// The process use of `ipc_probe process` (see the header).
#include "process_stats_win32.h"

#include <psapi.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

// The system handle table as NtQuerySystemInformation gives it (class 16).
struct HandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = LONG(0xC0000004);

// The handles of process pid in the system's handle table, or -1 when the
// table cannot be read; *byType gets "TYPE:COUNT,..." by object type index.
// Under Wine the wineserver keeps this table, so it counts what
// GetProcessHandleCount does not report for another process.
long long SystemHandleCount(DWORD pid, std::string* byType) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 16);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long long count = 0;
    std::map<int, int> types;
    for (ULONG i = 0; i < table->count; ++i)
      if (table->entries[i].ownerPid == pid) ++count, ++types[table->entries[i].objectType];
    for (const auto& [type, n] : types) {
      if (!byType->empty()) byType->push_back(',');
      byType->append(std::to_string(type)).append(":").append(std::to_string(n));
    }
    return count;
  }
  return -1;
}

}  // namespace

bool DescribeProcessUse(HWND window, std::string* text, std::string* error) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    *error = "cannot open process " + std::to_string(pid) + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  DWORD handles = 0;
  const bool ok = GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
                  GetProcessHandleCount(process, &handles);
  const DWORD failure = GetLastError();
  CloseHandle(process);
  if (!ok) {
    *error = "cannot read the use of process " + std::to_string(pid) + " (error " + std::to_string(failure) + ")";
    return false;
  }
  std::string byType;
  *text = "pid=" + std::to_string(pid) + " private_bytes=" + std::to_string(memory.PrivateUsage) +
          " working_set=" + std::to_string(memory.WorkingSetSize) + " handles=" + std::to_string(handles) +
          " system_handles=" + std::to_string(SystemHandleCount(pid, &byType)) + " handle_types=" +
          (byType.empty() ? "-" : byType);
  return true;
}
