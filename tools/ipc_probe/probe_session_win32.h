// One ipc_probe session: the target window, the request area (a named file
// mapping on the paging file that lives as long as the session or until its
// size changes), the "IPCEvent" handle and the time limits. Everything here
// runs on the probe's single thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct ProbeSession {
  HWND window = nullptr;         // target of commands and requests
  std::string windowClass;       // "" means FS98MAIN or UIPCMAIN
  UINT ipcMessage = 0;           // "FsasmLib:IPC"
  uint32_t waitMs = 10000;       // waits for windows, boxes and the event
  uint32_t sendMs = 10000;       // one message round trip
  size_t chosenMapSize = 0;      // 0: grow as requests need
  HANDLE mapping = nullptr;
  uint8_t* area = nullptr;
  size_t areaSize = 0;
  char mappingName[64] = {};
  unsigned mappingSerial = 0;
  HANDLE event = nullptr;        // held by event-open
  bool reserved = false;         // "reserve": areas made with SEC_RESERVE...
  size_t committed = 0;          // ...with only their first bytes committed
};

inline constexpr size_t kDefaultMapSize = 0x10000;

// Makes sure the request area can hold `need` bytes: with a chosen size the
// area has exactly that size (and a larger need is an error); otherwise it
// is at least 64 KB and grows in whole pages. Returns false with *error set.
bool PrepareArea(ProbeSession& s, size_t need, std::string* error);

// Sends the request that lies in the area: adds the global atom of the
// mapping's name, sends the registered message to the target and deletes the
// atom again. Returns false with *error set when the message could not be
// delivered or was not answered in time; *result is the message result.
bool SendRequest(ProbeSession& s, uint32_t* result, std::string* error);

// The target window: finds it (waiting up to waitMs) unless the one found
// before still exists. Returns false with *error set.
bool EnsureWindow(ProbeSession& s, std::string* error);

// From the next request on, areas are made with SEC_RESERVE and only their
// first `committed` bytes (rounded up to whole pages) are committed; or, with
// reserved false, made committed whole as before. The probe itself never
// touches the uncommitted pages: requests are laid out in a copy of the area
// and only its committed part goes into the mapping and back.
void SetReservedAreas(ProbeSession& s, bool reserved, size_t committed);

void CloseSession(ProbeSession& s);
