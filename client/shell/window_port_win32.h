// The shell's side of StatusWindowPort: what the connection supervisor may
// ask of the window. Its calls come on the supervisor thread; CloseErrorBox
// comes from the shutdown on the main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "link/connection_supervisor.h"

class WindowPort final : public StatusWindowPort {
 public:
  // InvalidateRect of the whole client area, without erasing.
  void RequestRepaint() override;

  // A modal warning box owned by the status window, shown on the calling
  // thread. Shows nothing once the shutdown has begun.
  void ShowError(const char* text, const char* caption) override;

  // Shutdown, after programRunning was cleared: closes a box that ShowError
  // has open or is about to open, and returns once ShowError has returned,
  // so that the supervisor thread can end and be waited for.
  void CloseErrorBox();

 private:
  std::atomic<uint32_t> showing_{0};  // 1 from the start of ShowError to its end
  std::atomic<uint32_t> closing_{0};  // 1 once CloseErrorBox has begun
  std::atomic<DWORD> boxThread_{0};   // the thread that last called ShowError
};

// The supervisor's port to the window; its boxes are shown from the
// supervisor's thread and closed by the shutdown.
extern WindowPort windowPort;
