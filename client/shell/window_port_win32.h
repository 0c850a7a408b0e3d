// The shell's side of StatusWindowPort: what the connection supervisor may
// ask of the window. Its calls come on the supervisor thread; CloseErrorBox
// comes from the shutdown on the main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "link/connection_supervisor.h"

class WindowPort final : public StatusWindowPort {
 public:
  // InvalidateRect of the whole client area, without erasing.
  void RequestRepaint() override;

  // A warning box owned by the status window, shown on a thread of its own;
  // returns at once. One box per run; shows nothing once the shutdown has
  // begun.
  void ShowError(const char* text, const char* caption) override;

  // The shutdown's first sign (WM_CLOSE, Exit): presses OK on a box that is
  // open, without waiting for it; no box opens after it.
  void StartClosingErrorBox();
  // Shutdown, after programRunning was cleared: closes a box that ShowError
  // has open or is about to open, and returns once it has returned. Then,
  // once the supervisor thread has ended, JoinErrorBox waits for the box's
  // thread.
  void CloseErrorBox();
  void JoinErrorBox();

 private:
  bool boxStarted_ = false;           // supervisor thread only
  std::thread box_;                   // the box's thread (supervisor thread, then JoinErrorBox)
  std::atomic<uint32_t> showing_{0};  // 1 from ShowError until the box has returned
  std::atomic<uint32_t> closing_{0};  // 1 once CloseErrorBox has begun
  std::atomic<DWORD> boxThread_{0};   // the box's thread, once it runs
};

