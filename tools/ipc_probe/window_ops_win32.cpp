// Finding and describing top-level windows (see the header).
#include "window_ops_win32.h"

#include <cstdio>
#include <vector>

#include "probe_text.h"

namespace {

std::string ClassOf(HWND w) {
  char name[256] = {};
  GetClassNameA(w, name, sizeof name);
  return name;
}

std::string TextOf(HWND w) {
  char text[4096] = {};
  // WM_GETTEXT rather than GetWindowTextA, which does not read the controls
  // of another process.
  SendMessageTimeoutA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                      nullptr);
  text[sizeof text - 1] = 0;
  return text;
}

BOOL CALLBACK CollectWindow(HWND w, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(w);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> windows;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

}  // namespace

HWND FindClientWindow(const std::string& windowClass) {
  if (!windowClass.empty()) return FindWindowExA(nullptr, nullptr, windowClass.c_str(), nullptr);
  if (HWND w = FindWindowExA(nullptr, nullptr, "FS98MAIN", nullptr)) return w;
  return FindWindowExA(nullptr, nullptr, "UIPCMAIN", nullptr);
}

HWND FindDialog(const std::string& caption) {
  for (HWND w : TopLevelWindows()) {
    if (ClassOf(w) != "#32770") continue;
    if (caption.empty() || TextOf(w) == caption) return w;
  }
  return nullptr;
}

std::string DescribeWindow(HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  RECT r = {};
  GetWindowRect(w, &r);
  char rect[80];
  std::snprintf(rect, sizeof rect, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  const std::string cls = ClassOf(w);
  std::string out = "{\"hwnd\":\"" + Hex32(reinterpret_cast<uintptr_t>(w)) + "\",\"class\":" + JsonQuote(cls) +
                    ",\"caption\":" + JsonQuote(TextOf(w)) +
                    ",\"visible\":" + (IsWindowVisible(w) ? "true" : "false") + ",\"pid\":" + std::to_string(pid) +
                    ",\"rect\":" + rect + ",\"texts\":[";
  if (cls == "#32770") {
    bool first = true;
    for (HWND child : ChildWindows(w)) {
      if (ClassOf(child) != "Static") continue;
      const std::string text = TextOf(child);
      if (text.empty()) continue;  // the icon of a message box
      if (!first) out += ',';
      out += JsonQuote(text);
      first = false;
    }
  }
  return out + "]}";
}

std::string ListWindows(const std::string& windowClass) {
  std::string out = "[";
  bool first = true;
  for (HWND w : TopLevelWindows()) {
    if (!windowClass.empty() && ClassOf(w) != windowClass) continue;
    if (!first) out += ',';
    out += DescribeWindow(w);
    first = false;
  }
  return out + "]";
}

bool WaitWindowGone(HWND window, uint32_t waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    if (!IsWindow(window)) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}
