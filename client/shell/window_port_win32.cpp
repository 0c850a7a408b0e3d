// The supervisor's window port. The error box runs on the supervisor thread,
// and the shutdown waits for that thread: so the shutdown closes the box
// itself. showing_ and closing_ are set before each side reads the other's
// flag, so either ShowError sees closing_ and shows nothing, or
// CloseErrorBox sees showing_ and keeps closing until the box has returned.
#include "shell/window_port_win32.h"

#include <cstring>

#include "link/link_flags.h"
#include "shell/status_window_win32.h"

WindowPort windowPort;

namespace {

constexpr DWORD kCloseRetryMs = 10;

// Presses OK on every dialog-class window of the thread (a message box is one).
BOOL CALLBACK PressOkOnDialog(HWND window, LPARAM) {
  char className[16];
  if (GetClassNameA(window, className, sizeof className) != 0 && std::strcmp(className, "#32770") == 0)
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return TRUE;
}

// Waits up to ms while handling messages that other threads send to this
// thread's windows: the box disables and enables its owner that way, and
// would otherwise wait for the main thread forever.
void WaitHandlingSentMessages(DWORD ms) {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_SENDMESSAGE);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

void WindowPort::RequestRepaint() { InvalidateRect(statusWindow, nullptr, FALSE); }

void WindowPort::ShowError(const char* text, const char* caption) {
  boxThread_.store(GetCurrentThreadId());
  showing_.store(1);
  if (closing_.load() == 0 && programRunning.load() != 0) MessageBoxA(statusWindow, text, caption, MB_ICONWARNING);
  showing_.store(0);
}

void WindowPort::CloseErrorBox() {
  closing_.store(1);
  while (showing_.load() != 0) {
    EnumThreadWindows(boxThread_.load(), PressOkOnDialog, 0);
    WaitHandlingSentMessages(kCloseRetryMs);
  }
}
