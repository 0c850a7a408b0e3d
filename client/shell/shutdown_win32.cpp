// Ordered shutdown. The TCP receiver goes first (closing its socket wakes
// it; it ends the unicast receiver itself), then the supervisor (which may
// sit in a connection attempt or an error box) and the multicast receiver
// it started; only then is the last line written and the event log closed,
// as every thread that writes to it has ended. Each resource is released
// exactly once, whichever half gets there.
#include "shell/shutdown_win32.h"

#include <windows.h>

#include <cstdio>
#include <system_error>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "link/link_flags.h"
#include "link/tcp_link.h"
#include "link/udp_receivers.h"
#include "shell/status_paint_win32.h"
#include "shell/status_window_win32.h"
#include "shell/window_port_win32.h"

namespace {

constexpr DWORD kPauseAfterSignalMs = 100;
constexpr DWORD kPauseAfterLoopMs = 200;

HANDLE ipcEvent = nullptr;
std::thread supervisorThread;
bool threadsStopped = false;

void ClearRunningFlags() {
  StopRunning();
  tcpReceiving.store(0);
}

// Shutdown steps 2 to 8. fromDestroy chooses the closing line.
void StopThreadsAndRelease(bool fromDestroy) {
  if (threadsStopped) return;
  threadsStopped = true;
  CloseTcpSocket();
  JoinTcpReceiver();
  if (ipcEvent != nullptr) SetEvent(ipcEvent);
  Sleep(kPauseAfterSignalMs);
  windowPort.CloseErrorBox();
  if (supervisorThread.joinable()) supervisorThread.join();
  windowPort.JoinErrorBox();
  JoinMulticastReceiver();
  char timestamp[kTimestampSize];
  LogEvent(fromDestroy ? "%s Closing connection status thread d\n" : "%s Closing connection status thread\n",
           FormatTimestamp(timestamp));
  CloseEventLog();
  ReleaseBallBitmap();
  if (ipcEvent != nullptr) CloseHandle(ipcEvent);
  ipcEvent = nullptr;
}

}  // namespace

void CreateIpcEvent() {
  if (threadsStopped) return;  // the window was closed while a start-up box was open
  ipcEvent = CreateEventA(nullptr, FALSE, FALSE, "IPCEvent");
  if (ipcEvent != nullptr) return;
  const DWORD error = GetLastError();
  char timestamp[kTimestampSize];
  LogEvent("%s CreateEvent failed (%d)\n", FormatTimestamp(timestamp), int(error));
  char text[128];
  std::snprintf(text, sizeof text, "The event \"IPCEvent\" could not be created (error %d).", int(error));
  MessageBoxA(statusWindow, text, "Error", MB_ICONWARNING);
}

void StartConnectionStatusThread() {
  if (threadsStopped) return;  // the shutdown has run already: nothing would join the thread
  programRunning.store(1);
  connectionState.store(kInit);
  try {
    supervisorThread = std::thread(ConnectionStatusThread, static_cast<StatusWindowPort*>(&windowPort));
  } catch (const std::system_error&) {
    // Not fatal: without the thread the link never comes up and every
    // request is answered with failure.
  }
}

void ShutdownFirstHalf() {
  ClearRunningFlags();
  StopThreadsAndRelease(true);
  PostQuitMessage(0);
}

int ShutdownSecondHalf(int exitCode) {
  ClearRunningFlags();
  Sleep(kPauseAfterLoopMs);
  StopThreadsAndRelease(false);
  DeleteFonts();
  ReleaseCanvas();
  return exitCode;
}
