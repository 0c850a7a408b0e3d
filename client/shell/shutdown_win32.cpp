// Ordered shutdown. The web gateway goes first (its connections close), then
// the link's TCP side (Stop: closing its socket wakes its receiver, which
// ends the unicast receiver itself), then the supervisor (which may sit in a
// connection attempt or an error box), whose ending closes the rest of the
// link; only then is the last line written and the event log closed, as every
// thread that writes to it has ended. Each resource is released exactly once,
// whichever half gets there.
#include "shell/shutdown_win32.h"

#include <windows.h>

#include <cstdio>
#include <system_error>
#include <thread>

#include "base/event_log.h"
#include "base/timestamp.h"
#include "base/shared_flags.h"
#include "link/connection_supervisor.h"
#include "link/link.h"
#include "shell/status_paint_win32.h"
#include "shell/status_window_win32.h"
#include "shell/web_gateway_win32.h"
#include "shell/window_port_win32.h"

namespace {

constexpr DWORD kPauseAfterSignalMs = 100;
constexpr DWORD kPauseAfterLoopMs = 200;

HANDLE ipcEvent = nullptr;
Link* runningLink = nullptr;  // the link the supervisor drives, once it was started
WindowPort windowPort;        // the supervisor's port to the window
std::thread supervisorThread;
bool threadsStopped = false;

// Shutdown steps 2 to 8. fromDestroy chooses the closing line.
void StopThreadsAndRelease(bool fromDestroy) {
  if (threadsStopped) return;
  threadsStopped = true;
  StopWebGateway();  // no web client writes from here on
  if (runningLink != nullptr) runningLink->Stop();
  if (ipcEvent != nullptr) SetEvent(ipcEvent);
  Sleep(kPauseAfterSignalMs);
  windowPort.CloseErrorBox();
  if (supervisorThread.joinable()) supervisorThread.join();
  windowPort.JoinErrorBox();
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

void StartConnectionStatusThread(Link& link) {
  if (threadsStopped) return;  // the shutdown has run already: nothing would join the thread
  programRunning.store(1);
  runningLink = &link;
  try {
    supervisorThread = std::thread(ConnectionStatusThread, &link, static_cast<StatusWindowPort*>(&windowPort));
  } catch (const std::system_error&) {
    // Not fatal: without the thread the link never comes up and every
    // request is answered with failure.
  }
}

void ShutdownBegins() { windowPort.StartClosingErrorBox(); }

void ShutdownFirstHalf() {
  StopRunning();
  StopThreadsAndRelease(true);
  PostQuitMessage(0);
}

int ShutdownSecondHalf(int exitCode) {
  StopRunning();
  Sleep(kPauseAfterLoopMs);
  StopThreadsAndRelease(false);
  DeleteFonts();
  ReleaseCanvas();
  return exitCode;
}
