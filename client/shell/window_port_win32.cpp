// The supervisor's window port. The error box runs on a thread of its own,
// so that the supervisor goes on (and retries) while the box is open; the
// shutdown closes the box and waits for that thread. showing_ and closing_
// are set before each side reads the other's flag, so either the box thread
// sees closing_ and shows nothing, or CloseErrorBox sees showing_ and keeps
// closing until the box has returned.
#include "shell/window_port_win32.h"

#include <cstring>
#include <system_error>

#include "base/shared_flags.h"
#include "shell/status_window_win32.h"

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
  if (boxStarted_) return;  // one box at a time: the supervisor shows one per run
  boxStarted_ = true;
  showing_.store(1);  // before the thread exists: a close from now on waits for the box
  try {
    box_ = std::thread([this, text, caption] {
      boxThread_.store(GetCurrentThreadId());
      if (closing_.load() == 0 && programRunning.load() != 0) MessageBoxA(statusWindow, text, caption, MB_ICONWARNING);
      showing_.store(0);
    });
  } catch (const std::system_error&) {
    showing_.store(0);  // no thread, no box: the lines and the status text still tell
  }
}

void WindowPort::StartClosingErrorBox() {
  closing_.store(1);
  const DWORD thread = boxThread_.load();
  if (showing_.load() != 0 && thread != 0) EnumThreadWindows(thread, PressOkOnDialog, 0);
}

void WindowPort::CloseErrorBox() {
  closing_.store(1);
  while (showing_.load() != 0) {
    const DWORD thread = boxThread_.load();
    if (thread != 0) EnumThreadWindows(thread, PressOkOnDialog, 0);
    WaitHandlingSentMessages(kCloseRetryMs);
  }
}

void WindowPort::JoinErrorBox() {
  if (box_.joinable()) box_.join();
}
