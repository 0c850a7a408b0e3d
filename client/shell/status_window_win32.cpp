// The status window's class, creation and window procedure. Each message has
// one handler; after it the default procedure still sees the message. The
// registered IPC message is known only at run time, so it is compared first.
#include "shell/status_window_win32.h"

#include "base/event_log.h"
#include "ipc/ipc_service_win32.h"
#include "link/link.h"
#include "shell/resources/resource.h"
#include "shell/shutdown_win32.h"
#include "shell/status_paint_win32.h"
#include "shell/web_gateway_win32.h"

char windowTitle[kWindowTextSize];
char windowClassName[kWindowTextSize];
HWND statusWindow = nullptr;
UINT ipcMessageId = 0;

namespace {

HINSTANCE appInstance = nullptr;  // kept for the Info dialog
Link* windowLink = nullptr;       // set before the window exists

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // no sizing border, no maximise box
constexpr int kWindowWidth = 450, kWindowHeight = 320;

INT_PTR CALLBACK InfoDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wp));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

void OnCreate(HWND hwnd) {
  if (LoadBallBitmap() == 0) MessageBoxA(hwnd, "Could not load IDB_BALL!", "Error", MB_ICONWARNING);
}

void OnCommand(HWND hwnd, WORD command) {
  switch (command) {
    case IDM_INFO: DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_INFO), hwnd, InfoDialogProc, 0); break;
    case IDM_EXIT:
      ShutdownBegins();
      DestroyWindow(hwnd);
      break;
    case IDM_READ_LOGGING: ToggleReadLogging(); break;
    case IDM_WRITE_LOGGING: ToggleWriteLogging(); break;
    case IDM_WEB_ADDRESS: ShowWebAddress(hwnd); break;
  }
}

}  // namespace

void LoadWindowTexts(HINSTANCE instance, unsigned classNameId) {
  LoadStringA(instance, IDS_APP_TITLE, windowTitle, sizeof windowTitle);
  LoadStringA(instance, classNameId, windowClassName, sizeof windowClassName);
}

void RegisterStatusWindowClass(HINSTANCE instance) {
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = StatusWindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LARGE));
  wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_SMALL), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
  wc.lpszClassName = windowClassName;
  RegisterClassExA(&wc);
}

int CreateStatusWindow(HINSTANCE instance, int showCommand, Link& link) {
  appInstance = instance;
  windowLink = &link;
  statusWindow = CreateWindowExA(0, windowClassName, windowTitle, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                 kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (statusWindow == nullptr) {
    LogEvent("Create FS98MAIN Window Failed!\n");
    return 0;
  }
  LogEvent("Create FS98MAIN Window OK!\n");
  ipcMessageId = RegisterWindowMessageA("FsasmLib:IPC");
  if (ipcMessageId != 0) LogEvent("Register UIPCMain Call message OK!\n");
  ShowWindow(statusWindow, showCommand);
  UpdateWindow(statusWindow);
  return 1;
}

LRESULT CALLBACK StatusWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (ipcMessageId != 0 && msg == ipcMessageId) return HandleIpcRequest(ATOM(wp), windowLink->Writes());
  switch (msg) {
    case WM_CREATE: OnCreate(hwnd); break;
    case WM_PAINT: PaintStatusWindow(hwnd, windowLink->CurrentStatus()); break;
    case WM_COMMAND: OnCommand(hwnd, LOWORD(wp)); break;
    case WM_CLOSE: ShutdownBegins(); break;
    case WM_DESTROY: ShutdownFirstHalf(); break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}
