// The floor window of `ipc_probe floor` (see the header). Three threads: the
// window's, which serves requests; one that applies update frames; one that
// drains the TCP connection; and with pushes= a fourth that sends. The image
// lock is held once per request and once per update frame.
#include "floor_window_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/byte_order.h"
#include "link/frames.h"
#include "link/net.h"
#include "probe_text.h"
#include "request_records.h"
#include "window_ops_win32.h"

namespace {

constexpr uint32_t kSendLimitMs = 2000;
constexpr uint32_t kConnectLimitMs = 5000;

UINT floorIpcMessage = 0;
NetSocket floorLink = kNoSocket;
std::mutex floorLock;  // guards floorImage
uint8_t floorImage[kImageSize];
uint8_t floorBatch[kImageSize];
uint8_t floorFrame[kWriteFrameBufferSize];

// Walks the records of one request area of size bytes: reads from the image,
// writes into it and into the batch. The batch size with its end marker, or
// 0 when the request wrote nothing.
uint32_t ServeRecords(uint8_t* area, size_t size) {
  uint32_t batch = 0;
  std::lock_guard<std::mutex> hold(floorLock);
  for (size_t at = 0; at + 4 <= size;) {
    const uint32_t kind = ReadLe32(area + at);
    if (kind != 1 && kind != 2) break;
    const size_t head = kind == 1 ? kReadHeadSize : kWriteHeadSize;
    if (at + head > size) break;
    const uint32_t offset = ReadLe32(area + at + 4), n = ReadLe32(area + at + 8);
    if (offset >= kImageSize || n > kImageSize - offset || at + head + n > size) break;
    if (kind == 1) {
      std::memcpy(area + at + head, floorImage + offset, n);
    } else {
      std::memcpy(floorImage + offset, area + at + head, n);
      if (batch + head + n + 4 > sizeof floorBatch) break;
      std::memcpy(floorBatch + batch, area + at, head + n);
      batch += uint32_t(head + n);
    }
    at += head + n;
  }
  if (batch == 0) return 0;
  std::memset(floorBatch + batch, 0, 4);
  return batch + 4;
}

LRESULT ServeRequest(ATOM atom) {
  char name[260];
  if (!GlobalGetAtomNameA(atom, name, sizeof name)) return 0;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  if (!mapping) return 0;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (view != nullptr) {
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(view, &info, sizeof info);
    const uint32_t batch = ServeRecords(static_cast<uint8_t*>(view), info.RegionSize);
    if (batch != 0) {
      const uint32_t length = BuildWriteBatchFrame(floorBatch, batch, floorFrame, sizeof floorFrame);
      if (length != 0) NetSend(floorLink, floorFrame, length);
    }
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  return 1;
}

void ApplyUpdates(NetSocket s) {
  static uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    const int n = NetRecvFrom(s, buffer, sizeof buffer, nullptr, nullptr);
    if (n < 0) return;
    if (n < int(kFrameOverhead) || buffer[0] != kTypeUpdate) continue;
    const uint32_t size = ReadLe16(buffer + kFrameSizeAt);
    if (kFrameOverhead + size > uint32_t(n)) continue;
    std::lock_guard<std::mutex> hold(floorLock);
    for (const uint8_t* r = buffer + kFrameHeaderSize; r + kUpdateRecordSize <= buffer + kFrameHeaderSize + size;
         r += kUpdateRecordSize)
      floorImage[(r[0] != 0 ? 0x10000 : 0) + ReadLe16(r + 2)] = r[4];
  }
}

void DrainLink(NetSocket s) {
  static uint8_t buffer[kReceiveBufferSize];
  while (NetRecv(s, buffer, sizeof buffer) > 0) {
  }
}

// What the pushes to web clients cost a process, done bare: a listening
// socket whose connections are taken as they come, and the bytes of a push
// sent with one plain send on each at every step of the interval; nothing
// read, no JSON, no WebSocket. A connection whose send fails is dropped.
struct Pushes {
  uint16_t port = 0;
  uint64_t everyMs = 50, bytes = 61;
};

void SendPushes(NetSocket listener, Pushes p) {
  const std::vector<uint8_t> push(p.bytes, '.');
  std::vector<NetSocket> open;
  for (;;) {
    const uint64_t now = GetTickCount64();
    Sleep(DWORD((now / p.everyMs + 1) * p.everyMs - now));
    while (NetWaitReadable(listener, 0) == 1) {
      const NetSocket s = NetAccept(listener, nullptr, nullptr);
      if (s == kNoSocket) break;
      NetSetNoDelay(s);
      NetSetSendTimeLimit(s, kSendLimitMs);
      open.push_back(s);
    }
    size_t kept = 0;
    for (NetSocket s : open) {
      if (NetSend(s, push.data(), uint32_t(push.size())) == int(push.size()))
        open[kept++] = s;
      else
        NetClose(s);
    }
    open.resize(kept);
  }
}

LRESULT CALLBACK FloorWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (floorIpcMessage != 0 && msg == floorIpcMessage) return ServeRequest(ATOM(wp));
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(hwnd, msg, wp, lp);
}

int Fail(const char* what) {
  std::printf("err %s\n", what);
  return 1;
}

}  // namespace

int RunFloorWindow(const std::vector<std::string>& args) {
  std::string windowClass = "KVFLOOR", local, server;
  uint64_t port = kUpdatePort;  // the client's, unless the two run side by side
  Pushes pushes;
  bool pushing = false, bad = false;
  // NAME=N with 0 < N <= max, or bad.
  const auto number = [&bad](const std::string& a, size_t at, uint64_t max, uint64_t* value) {
    bad = bad || !ParseUnsigned(a.substr(at), max, value) || *value == 0;
  };
  for (const std::string& a : args) {
    if (a.rfind("pushes=", 0) == 0) {
      uint64_t pushPort = 0;
      number(a, 7, 65535, &pushPort);
      pushes.port = uint16_t(pushPort);
      pushing = true;
    } else if (a.rfind("every=", 0) == 0) {
      number(a, 6, 60000, &pushes.everyMs);
    } else if (a.rfind("bytes=", 0) == 0) {
      number(a, 6, 65536, &pushes.bytes);
    } else if (a.rfind("class=", 0) == 0 && a.size() > 6) {
      windowClass = a.substr(6);
    } else if (a.rfind("local=", 0) == 0) {
      local = a.substr(6);
    } else if (a.rfind("server=", 0) == 0) {
      server = a.substr(7);
    } else if (!(a.rfind("port=", 0) == 0 && ParseUnsigned(a.substr(5), 65535, &port))) {
      bad = true;
    }
  }
  if (bad || local.empty() || server.empty() || port == 0) {
    std::printf("err usage: floor [class=NAME] local=ADDR [port=PORT] server=ADDR"
                " [pushes=PORT [every=MS] [bytes=N]]\n");
    return 2;
  }
  if (NetStartup() == 0) return Fail("the socket library did not start");
  const NetSocket updates = NetUdpSocket();
  if (updates == kNoSocket || NetBind(updates, NetParseAddress(local.c_str()), uint16_t(port)) == 0)
    return Fail("cannot bind the update port");
  floorLink = NetTcpSocket();
  if (floorLink == kNoSocket ||
      !NetConnect(floorLink, NetParseAddress(server.c_str()), kServerPort, kConnectLimitMs, nullptr).ok())
    return Fail("cannot connect to the server");
  NetSetNoDelay(floorLink);
  NetSetSendTimeLimit(floorLink, kSendLimitMs);
  std::thread(ApplyUpdates, updates).detach();
  std::thread(DrainLink, floorLink).detach();
  if (pushing) {
    const NetSocket listener = NetTcpSocket();
    if (listener == kNoSocket || NetBind(listener, NetParseAddress(local.c_str()), pushes.port) == 0 ||
        NetListen(listener, 64) == 0)
      return Fail("cannot listen for the pushes' connections");
    std::thread(SendPushes, listener, pushes).detach();
  }

  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = FloorWindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = windowClass.c_str();
  if (!RegisterClassA(&wc)) return Fail("RegisterClassA failed");
  HWND hwnd = CreateWindowExA(0, windowClass.c_str(), "ipc_probe floor", WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                              CW_USEDEFAULT, 300, 120, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return Fail("CreateWindowExA failed");
  floorIpcMessage = RegisterWindowMessageA("FsasmLib:IPC");
  std::printf("ok %s\n", DescribeWindow(hwnd).c_str());
  std::fflush(stdout);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  // The receiving threads block in their sockets: the process ends them.
  std::fflush(stdout);
  ExitProcess(0);
}
