// Form1, the installer's only window, and the program's entry. Two buttons:
// CmdGetFolder runs the folder browser and the folder check, CmdInstall the
// install. CmdInstall is owner-drawn, since a standard push button paints no
// back colour: light green while a folder is accepted, button face otherwise.
// Everything runs on the one window thread; the browser and the message
// boxes are modal. Closing the window ends the program.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "file_ops_win32.h"
#include "folder_browser_win32.h"
#include "installer_state.h"

namespace {

constexpr char kClassName[] = "Form1";
constexpr char kCaption[] = "TARNEX Installer";
constexpr char kBoxCaption[] = "TARNEX_Install";
constexpr char kBrowseTitle[] = "Select the current X-Plane main folder";
constexpr char kPackageIncomplete[] = "Some files are missing from the original package";
constexpr char kFolderIncorrect[] = "X-Plane folder or install structure is(are) incorrect";
constexpr char kInstalled[] = "TARNEX has been installed correctly";
constexpr char kInstallFailed[] = "Unable to install TARNEX";

// Lengths of the form are given in twips, 15 to a pixel.
constexpr int Pixels(int twips) { return (twips * 2 + 15) / 30; }

struct ButtonPlace {
  int id;
  const char* caption;
  int left, top, width, height;  // twips, in the client area
};
constexpr ButtonPlace kCmdGetFolder = {101, "Select X-Plane folder", 1050, 480, 1905, 465};
constexpr ButtonPlace kCmdInstall = {102, "Install TARNX v2.0.0.0", 1050, 1110, 1900, 465};
constexpr int kClientWidth = 4035, kClientHeight = 2190;  // twips
constexpr int kFontHundredthsOfPoint = 825;               // Arial 8.25 pt

// Back colours as the form stores them: a colour, or a system colour
// reference (high bit set, the system colour's index below).
constexpr DWORD kAcceptedColour = 0xD0FFD0;  // red 208, green 255, blue 208
constexpr DWORD kButtonFaceColour = 0x8000000F;

InstallerState state;
Win32FileOps fileOps;
HFONT formFont;
HWND cmdGetFolder, cmdInstall;
DWORD installBackColour = kButtonFaceColour;

COLORREF ResolveColour(DWORD colour) {
  return (colour & 0x80000000u) ? GetSysColor(int(colour & 0xFF)) : COLORREF(colour);
}

void SetInstallLook(HWND form, DWORD backColour, BOOL enabled) {
  installBackColour = backColour;
  InvalidateRect(cmdInstall, nullptr, FALSE);
  if (!enabled && GetFocus() == cmdInstall) SetFocus(cmdGetFolder);
  EnableWindow(cmdInstall, enabled);
  UpdateWindow(form);
}

HWND CreateButton(HWND form, const ButtonPlace& b, DWORD style) {
  HWND button = CreateWindowExA(0, "BUTTON", b.caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style,
                                Pixels(b.left), Pixels(b.top), Pixels(b.width), Pixels(b.height), form,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)),
                                GetModuleHandleA(nullptr), nullptr);
  SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(formFont), FALSE);
  return button;
}

HFONT CreateFormFont() {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(kFontHundredthsOfPoint, GetDeviceCaps(screen, LOGPIXELSY), 7200);
  ReleaseDC(nullptr, screen);
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial");
}

void OnCreate(HWND form) {
  formFont = CreateFormFont();
  SendMessageA(form, WM_SETFONT, reinterpret_cast<WPARAM>(formFont), FALSE);
  cmdGetFolder = CreateButton(form, kCmdGetFolder, BS_PUSHBUTTON);
  cmdInstall = CreateButton(form, kCmdInstall, BS_OWNERDRAW);
  EnableWindow(cmdInstall, FALSE);
}

// CmdGetFolder_Click.
void OnGetFolderClick(HWND form) {
  const BrowseResult result = BrowseForFolder(form, std::string(), kBrowseTitle);
  switch (ChooseSimFolder(state, fileOps, result)) {
    case FolderChoice::kCancelled:
      break;
    case FolderChoice::kAccepted:
      SetInstallLook(form, kAcceptedColour, TRUE);
      break;
    case FolderChoice::kRejected:
      SetInstallLook(form, kButtonFaceColour, FALSE);
      MessageBoxA(form, kFolderIncorrect, kBoxCaption, MB_OK | MB_ICONWARNING);
      break;
  }
}

// CmdInstall_Click. A failed install leaves the form as it was, so the user
// can retry once the cause is removed.
void OnInstallClick(HWND form) {
  if (!InstallEnabled(state)) return;
  if (!Install(state, fileOps)) {
    MessageBoxA(form, kInstallFailed, kBoxCaption, MB_OK | MB_ICONWARNING);
    return;
  }
  MessageBoxA(form, kInstalled, kBoxCaption, MB_OK | MB_ICONINFORMATION);
  DestroyWindow(form);
}

void OnCommand(HWND form, int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == kCmdGetFolder.id) OnGetFolderClick(form);
  if (id == kCmdInstall.id) OnInstallClick(form);
}

// Paints CmdInstall as a classic push button over its back colour.
void DrawInstallButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  HBRUSH back = CreateSolidBrush(ResolveColour(installBackColour));
  FillRect(dc, &r, back);
  DeleteObject(back);
  const bool pushed = item.itemState & ODS_SELECTED;
  DrawEdge(dc, &r, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT | BF_ADJUST);

  char text[64] = {};
  GetWindowTextA(item.hwndItem, text, sizeof text);
  RECT textRect = r;
  if (pushed) OffsetRect(&textRect, 1, 1);
  HGDIOBJ oldFont = SelectObject(dc, formFont);
  const int oldMode = SetBkMode(dc, TRANSPARENT);
  const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  if (item.itemState & ODS_DISABLED) {  // embossed grey, as the system draws disabled text
    RECT shadow = textRect;
    OffsetRect(&shadow, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_3DHILIGHT));
    DrawTextA(dc, text, -1, &shadow, format);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  } else {
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  }
  DrawTextA(dc, text, -1, &textRect, format);
  SetBkMode(dc, oldMode);
  SelectObject(dc, oldFont);

  if (item.itemState & ODS_FOCUS) {
    InflateRect(&r, -2, -2);
    DrawFocusRect(dc, &r);
  }
}

void OnDestroy() {
  DeleteObject(formFont);
  PostQuitMessage(0);
}

LRESULT CALLBACK Form1Proc(HWND form, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: OnCreate(form); break;
    case WM_COMMAND: OnCommand(form, LOWORD(wp), HIWORD(wp)); break;
    case WM_DRAWITEM: DrawInstallButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp)); return TRUE;
    case WM_DESTROY: OnDestroy(); break;
  }
  return DefWindowProcA(form, msg, wp, lp);
}

ATOM RegisterForm(HINSTANCE instance) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = Form1Proc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  return RegisterClassA(&wc);
}

// A fixed-size window with the client area of the form, centred on the screen.
HWND CreateForm(HINSTANCE instance) {
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT r = {0, 0, Pixels(kClientWidth), Pixels(kClientHeight)};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  const int width = r.right - r.left, height = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  return CreateWindowExA(0, kClassName, kCaption, style, x, y, width, height, nullptr, nullptr, instance,
                         nullptr);
}

std::string ProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {  // grows until the whole path fits
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) return path.substr(0, n);
    path.resize(path.size() * 2);
  }
}

// Form_Load: runs before the window is first shown. Returns 1 when the form
// is to be shown.
int FormLoad() {
  if (LoadPackage(state, fileOps, ProgramPath())) return 1;
  MessageBoxA(nullptr, kPackageIncomplete, kBoxCaption, MB_OK | MB_ICONWARNING);
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the folder browser needs COM
  if (!RegisterForm(instance)) return 1;
  HWND form = CreateForm(instance);
  if (form == nullptr) return 1;
  if (!FormLoad()) {
    DestroyWindow(form);
    CoUninitialize();
    return 0;
  }
  ShowWindow(form, show);
  UpdateWindow(form);
  SetFocus(cmdGetFolder);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(form, &msg)) continue;  // Tab and Space between the buttons
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  CoUninitialize();
  return 0;
}
