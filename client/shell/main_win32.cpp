// The program's entry: start-up in its fixed order, the message loop (which
// is also the IPC service loop), and the end of the shutdown. Each step is
// one call; a failed step that ends the program has already told the user.
#include <windows.h>

#include <cstdio>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "link/link.h"
#include "shell/resources/resource.h"
#include "shell/run_mode.h"
#include "shell/settings.h"
#include "shell/shutdown_win32.h"
#include "shell/status_paint_win32.h"
#include "shell/status_window_win32.h"
#include "shell/web_gateway_win32.h"

namespace {

// The link to the server: configured from the settings, driven by the
// connection status thread, used by the window.
Link link;

// Empties the logs of the mode. A log that cannot be created (the plug-in
// folder is missing, say) is named in a box. Returns 1 when both were created.
int OpenLogsOrWarn(RunMode mode) {
  const char* failedPath = "";
  if (OpenRunModeLogs(mode, &failedPath)) return 1;
  char text[kLogPathSize + 64];
  std::snprintf(text, sizeof text, "Could not create the log file\n%s", failedPath);
  MessageBoxA(nullptr, text, "Error", MB_ICONWARNING | MB_OK);
  return 0;
}

// Loads the settings (creating the file with defaults if it is missing).
// Returns them, after the "Reading of Inifile Failed!" box when the file
// holds no valid addresses.
SettingsAtStart LoadSettingsOrWarn(RunMode mode) {
  const SettingsAtStart start = LoadSettingsAtStart(mode);
  if (start.outcome == SettingsAtStart::kInvalid)
    MessageBoxA(nullptr, start.box, kSettingsBoxCaption, MB_ICONWARNING | MB_OK);
  return start;
}

// Start-up ended early: what has been opened is closed; the exit code is 0.
int EndStartUp() {
  CloseEventLog();
  ReleaseBallBitmap();
  return 0;
}

// Until the quit message; returns its exit code. Input and posted messages
// (the close button, WM_CLOSE, the quit) are taken before the next request:
// GetMessageA serves every message sent from another thread or process
// first, so add-ons sending back to back would hold a close back for seconds.
int RunMessageLoop(HACCEL accelerators) {
  MSG msg;
  for (;;) {
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT | PM_QS_POSTMESSAGE)) {
      const int got = GetMessageA(&msg, nullptr, 0, 0);
      if (got <= 0) return got == 0 ? int(msg.wParam) : 0;
    } else if (msg.message == WM_QUIT) {
      return int(msg.wParam);
    }
    if (TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  // The image lock is a static mutex: it exists before anything runs.
  const RunMode mode = ChooseRunMode(commandLine);
  const RunModeProfile& profile = ProfileOf(mode);
  if (!OpenLogsOrWarn(mode)) return 0;
  const SettingsAtStart settings = LoadSettingsOrWarn(mode);
  switch (settings.outcome) {
    case SettingsAtStart::kLoaded: link.Configure(settings.network.thisPc, settings.network.server); break;
    case SettingsAtStart::kInvalid: return EndStartUp();
    case SettingsAtStart::kCannotOpen: return EndStartUp(), 1;  // a file that cannot be opened: exit code 1
  }
  LoadWindowTexts(instance, profile.classNameId);
  RegisterStatusWindowClass(instance);
  if (!CreateStatusWindow(instance, profile.hideWindow ? SW_HIDE : showCommand, link)) return EndStartUp();
  HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));
  CreateFonts();
  InitOffsetImage();
  CreateIpcEvent();
  StartConnectionStatusThread(link);
  StartWebGateway(link);
  return ShutdownSecondHalf(RunMessageLoop(accelerators));
}
