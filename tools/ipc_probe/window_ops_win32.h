// Looking at the desktop from outside: finding top-level windows by class,
// describing them (class, caption, visibility and, for dialogs such as
// message boxes, the texts of their static controls) as JSON objects, and
// polling until something appears or goes away.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// A top-level window of the class; "" looks for "FS98MAIN", then "UIPCMAIN".
HWND FindClientWindow(const std::string& windowClass);

// A top-level dialog ("#32770"), with the caption if one is given.
HWND FindDialog(const std::string& caption);

// {"hwnd":"0x..","class":"..","caption":"..","visible":true,"pid":N,
//  "rect":[left,top,right,bottom],"texts":[..]} (screen coordinates)
std::string DescribeWindow(HWND window);

// A JSON array of every top-level window, or of those of one class.
std::string ListWindows(const std::string& windowClass);

// Calls find every 20 ms until it returns a window or waitMs have passed.
template <typename Find>
HWND PollFor(uint32_t waitMs, Find find) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    if (HWND w = find()) return w;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(20);
  }
}

// Waits until the window no longer exists. Returns true when it is gone.
bool WaitWindowGone(HWND window, uint32_t waitMs);
