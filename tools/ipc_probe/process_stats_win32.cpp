// The process use of `ipc_probe process` (see the header).
#include "process_stats_win32.h"

#include <psapi.h>

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
  *text = "pid=" + std::to_string(pid) + " private_bytes=" + std::to_string(memory.PrivateUsage) +
          " working_set=" + std::to_string(memory.WorkingSetSize) + " handles=" + std::to_string(handles);
  return true;
}
