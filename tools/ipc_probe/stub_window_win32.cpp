// The bare answering window of `ipc_probe serve` (see the header).
#include "stub_window_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "probe_text.h"
#include "window_ops_win32.h"

namespace {

UINT stubIpcMessage = 0;
LRESULT stubResult = 1;
bool stubDump = false;
bool stubMap = false;

// The fixed cost of the protocol: atom name, open, map, unmap, close.
void MapRequest(ATOM atom) {
  char name[260];
  if (!GlobalGetAtomNameA(atom, name, sizeof name)) return;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  if (!mapping) return;
  if (void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) UnmapViewOfFile(view);
  CloseHandle(mapping);
}

// Prints the request area of one message, up to its last non-zero byte.
void DumpRequest(ATOM atom) {
  char name[260] = {};
  if (!GlobalGetAtomNameA(atom, name, sizeof name)) {
    std::printf("req err atom %u has no name\n", unsigned(atom));
    return;
  }
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
  if (!view) {
    std::printf("req err cannot map %s\n", JsonQuote(name).c_str());
    if (mapping) CloseHandle(mapping);
    return;
  }
  MEMORY_BASIC_INFORMATION info = {};
  VirtualQuery(view, &info, sizeof info);
  const uint8_t* bytes = static_cast<const uint8_t*>(view);
  size_t used = info.RegionSize;
  while (used > 0 && bytes[used - 1] == 0) --used;
  std::printf("req {\"name\":%s,\"size\":%llu,\"hex\":\"%s\"}\n", JsonQuote(name).c_str(),
              static_cast<unsigned long long>(info.RegionSize), HexBytes(bytes, used).c_str());
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

LRESULT CALLBACK StubWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (stubIpcMessage != 0 && msg == stubIpcMessage) {
    if (stubDump) {
      DumpRequest(ATOM(wp));
      std::fflush(stdout);
    } else if (stubMap) {
      MapRequest(ATOM(wp));
    }
    return stubResult;
  }
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

int RunStubWindow(const std::vector<std::string>& args) {
  std::string windowClass = "FS98MAIN";
  for (const std::string& a : args) {
    uint64_t v = 0;
    if (a == "dump") {
      stubDump = true;
    } else if (a == "map") {
      stubMap = true;
    } else if (a.rfind("result=", 0) == 0 && ParseUnsigned(a.substr(7), UINT32_MAX, &v)) {
      stubResult = LRESULT(v);
    } else if (a.rfind("class=", 0) == 0 && a.size() > 6) {
      windowClass = a.substr(6);
    } else {
      std::printf("err usage: serve [class=NAME] [result=N] [map|dump]\n");
      return 2;
    }
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = StubWindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = windowClass.c_str();
  if (!RegisterClassA(&wc)) {
    std::printf("err RegisterClassA failed (error %lu)\n", GetLastError());
    return 1;
  }
  HWND hwnd = CreateWindowExA(0, windowClass.c_str(), "ipc_probe serve", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                              CW_USEDEFAULT, CW_USEDEFAULT, 450, 320, nullptr, nullptr, instance, nullptr);
  if (!hwnd) {
    std::printf("err CreateWindowExA failed (error %lu)\n", GetLastError());
    return 1;
  }
  stubIpcMessage = RegisterWindowMessageA("FsasmLib:IPC");
  ShowWindow(hwnd, SW_SHOWNOACTIVATE);
  UpdateWindow(hwnd);
  std::printf("ok %s\n", DescribeWindow(hwnd).c_str());
  std::fflush(stdout);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
