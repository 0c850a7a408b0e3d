// installer_probe: a console tool that looks at and works the windows of
// another program, for the installer's end-to-end tests under Wine. A window
// is named by its exact title, or by "@title#class" for the dialog that the
// window of that title owns and that holds a child of that class. Output
// lines are tab-separated key=value fields.
//
//   list                         visible top-level windows
//   wait NAME MS / gone NAME MS  until NAME is shown / no longer shown
//   dump NAME                    the window and each of its children
//   click NAME TEXT              posts a click to the child captioned TEXT
//   select NAME PATH             selects PATH in the folder browser NAME
//   close NAME                   asks the window NAME to close
//   version FILE                 the version record of a program file
//
// Exit status 0 on success, 1 when a window or child is not found, 2 on a
// usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 50;

std::string TextOf(HWND w) {
  char text[512] = {};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

std::string ClassOf(HWND w) {
  char name[256] = {};
  GetClassNameA(w, name, sizeof name);
  return name;
}

// An enumeration callback: CALLBACK (stdcall on i686), which a lambda cannot be.
BOOL CALLBACK CollectWindow(HWND w, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(w);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> all;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND FindByTitle(const std::string& title) {
  for (HWND w : TopLevelWindows())
    if (IsWindowVisible(w) && TextOf(w) == title) return w;
  return nullptr;
}

bool HasChildOfClass(HWND w, const std::string& className) {
  for (HWND c : Children(w))
    if (ClassOf(c) == className) return true;
  return false;
}

HWND FindNamed(const std::string& name) {
  if (name.empty() || name[0] != '@') return FindByTitle(name);
  const size_t hash = name.find('#', 1);
  if (hash == std::string::npos) return nullptr;
  HWND owner = FindByTitle(name.substr(1, hash - 1));
  if (!owner) return nullptr;
  for (HWND w : TopLevelWindows())
    if (IsWindowVisible(w) && GetWindow(w, GW_OWNER) == owner && ClassOf(w) == "#32770" &&
        HasChildOfClass(w, name.substr(hash + 1)))
      return w;
  return nullptr;
}

HWND FindChild(HWND parent, const std::string& text) {
  for (HWND c : Children(parent))
    if (TextOf(c) == text) return c;
  return nullptr;
}

std::string Hex(COLORREF c) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
  return text;
}

// The screen's pixels of a rectangle, as 32-bit BGRX values.
std::vector<DWORD> Grab(HDC from, int x, int y, int w, int h) {
  BITMAPINFO bi = {};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC mem = CreateCompatibleDC(from);
  HBITMAP bmp = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, from, x, y, SRCCOPY);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + w * h);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  return pixels;
}

// Which standard icon an icon control shows: its pixels on the screen are
// compared with each standard icon drawn over the control's own background.
std::string IconShown(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return "none";
  HDC screen = GetDC(nullptr);
  const std::vector<DWORD> shown = Grab(screen, r.left, r.top, w, h);
  const struct { const char* name; LPCSTR id; } kinds[] = {
      {"warning", IDI_WARNING}, {"information", IDI_INFORMATION}, {"error", IDI_ERROR}, {"question", IDI_QUESTION}};
  std::string best = "other";
  size_t bestSame = 0;
  for (const auto& k : kinds) {
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    const DWORD corner = shown[0];
    HBRUSH back = CreateSolidBrush(RGB((corner >> 16) & 0xFF, (corner >> 8) & 0xFF, corner & 0xFF));
    RECT all = {0, 0, w, h};
    FillRect(mem, &all, back);
    DeleteObject(back);
    DrawIconEx(mem, 0, 0, LoadIconA(nullptr, k.id), 0, 0, 0, nullptr, DI_NORMAL);
    const std::vector<DWORD> drawn = Grab(mem, 0, 0, w, h);
    size_t same = 0;
    for (size_t i = 0; i < drawn.size(); ++i) same += (drawn[i] & 0xFFFFFF) == (shown[i] & 0xFFFFFF);
    if (same > bestSame && same * 100 >= drawn.size() * 97) bestSame = same, best = k.name;
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
  }
  ReleaseDC(nullptr, screen);
  return best;
}

// Width of the text drawn in a rectangle of pixels: the span of columns
// holding pixels far from the background, a margin in from every side so
// that borders and focus frames do not count.
int InkWidth(const std::vector<DWORD>& pixels, int w, int h, DWORD background) {
  constexpr int kMargin = 6;
  int left = w, right = -1;
  for (int y = kMargin; y < h - kMargin; ++y)
    for (int x = kMargin; x < w - kMargin; ++x) {
      const DWORD p = pixels[size_t(y) * w + x];
      int distance = 0;
      for (int shift : {0, 8, 16}) distance += std::abs(int((p >> shift) & 0xFF) - int((background >> shift) & 0xFF));
      if (distance < 96) continue;
      if (x < left) left = x;
      if (x > right) right = x;
    }
  return right < left ? 0 : right - left + 1;
}

// Width of text as the probe draws it itself, centred in w x h, in Arial at
// 8.25 points: compared with InkWidth of a control to tell its font.
int ArialInkWidth(const std::string& text, int w, int h) {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(825, GetDeviceCaps(screen, LOGPIXELSY), 7200);
  HFONT font = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial");
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ oldBitmap = SelectObject(mem, bmp);
  HGDIOBJ oldFont = SelectObject(mem, font);
  RECT all = {0, 0, w, h};
  FillRect(mem, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  SetTextColor(mem, RGB(0, 0, 0));
  SetBkMode(mem, TRANSPARENT);
  DrawTextA(mem, text.c_str(), -1, &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  const int width = InkWidth(Grab(mem, 0, 0, w, h), w, h, 0xFFFFFF);
  SelectObject(mem, oldFont);
  SelectObject(mem, oldBitmap);
  DeleteObject(bmp);
  DeleteObject(font);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return width;
}

int Dump(HWND w) {
  RECT client;
  GetClientRect(w, &client);
  POINT origin = {0, 0};
  ClientToScreen(w, &origin);
  RECT frame;
  GetWindowRect(w, &frame);
  std::printf("window\ttitle=%s\tclass=%s\tvisible=%d\tenabled=%d\tclient=%ldx%ld\tat=%ld,%ld\tframe=%ld,%ld,%ld,%ld\n",
              TextOf(w).c_str(), ClassOf(w).c_str(), IsWindowVisible(w) ? 1 : 0, IsWindowEnabled(w) ? 1 : 0,
              client.right, client.bottom, origin.x, origin.y, frame.left, frame.top, frame.right - frame.left,
              frame.bottom - frame.top);
  HDC screen = GetDC(nullptr);
  for (HWND c : Children(w)) {
    if (GetParent(c) != w) continue;  // direct children only
    RECT r;
    GetWindowRect(c, &r);
    POINT at = {r.left, r.top};
    ScreenToClient(w, &at);
    const LONG style = GetWindowLongA(c, GWL_STYLE);
    std::string extra;
    if (ClassOf(c) == "Static" && (style & SS_TYPEMASK) == SS_ICON) extra = "\ticon=" + IconShown(c);
    if (ClassOf(c) == "Button") {
      const int w = r.right - r.left, h = r.bottom - r.top;
      const std::vector<DWORD> shown = Grab(screen, r.left, r.top, w, h);
      extra = "\tback=" + Hex(GetPixel(screen, r.left + 4, r.top + 4)) + "\tink=" +
              std::to_string(InkWidth(shown, w, h, shown[4 * size_t(w) + 4])) +
              "\tarialink=" + std::to_string(ArialInkWidth(TextOf(c), w, h));
    }
    std::printf("child\tid=%d\tclass=%s\ttext=%s\tvisible=%d\tenabled=%d\trect=%ld,%ld,%ld,%ld%s\n",
                GetDlgCtrlID(c), ClassOf(c).c_str(), TextOf(c).c_str(), IsWindowVisible(c) ? 1 : 0,
                IsWindowEnabled(c) ? 1 : 0, at.x, at.y, r.right - r.left, r.bottom - r.top, extra.c_str());
  }
  ReleaseDC(nullptr, screen);
  std::printf("system\tbtnface=%s\n", Hex(GetSysColor(COLOR_BTNFACE)).c_str());
  return 0;
}

// Selects a path in a folder browser of another process: the path is
// written into that process, since the message carries only its address.
int Select(HWND dialog, const std::string& path) {
  DWORD pid = 0;
  GetWindowThreadProcessId(dialog, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return 1;
  void* remote = VirtualAllocEx(process, nullptr, path.size() + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  int status = 1;
  DWORD_PTR answer = 0;
  if (remote && WriteProcessMemory(process, remote, path.c_str(), path.size() + 1, nullptr) &&
      SendMessageTimeoutA(dialog, WM_USER + 102 /* BFFM_SETSELECTIONA */, TRUE, reinterpret_cast<LPARAM>(remote),
                          SMTO_ABORTIFHUNG, 5000, &answer))
    status = 0;
  // The memory stays with the process: the browser may still read the path.
  CloseHandle(process);
  return status;
}

int Version(const char* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) return 1;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file, 0, size, data.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &n))
    std::printf("fixed\tfile=%d.%d.%d.%d\tproduct=%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
  struct { WORD language, codePage; }* translation = nullptr;
  if (VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &n))
    std::printf("translation\t%04X%04X\n", translation->language, translation->codePage);
  for (const char* key : {"FileVersion", "ProductVersion", "ProductName", "InternalName", "OriginalFilename"}) {
    char* value = nullptr;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + key;
    if (VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &n))
      std::printf("string\t%s=%s\n", key, value);
  }
  return 0;
}

// Polls until found(name) is what is wanted, at most ms milliseconds.
int WaitFor(const std::string& name, DWORD ms, bool wantShown) {
  for (DWORD waited = 0;; waited += kPollMs) {
    if ((FindNamed(name) != nullptr) == wantShown) return 0;
    if (waited >= ms) return 1;
    Sleep(kPollMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") {
    for (HWND w : TopLevelWindows())
      if (IsWindowVisible(w)) std::printf("window\ttitle=%s\tclass=%s\n", TextOf(w).c_str(), ClassOf(w).c_str());
    return 0;
  }
  if (command == "version" && argc == 3) return Version(argv[2]);
  if ((command == "wait" || command == "gone") && argc == 4)
    return WaitFor(argv[2], DWORD(std::strtoul(argv[3], nullptr, 10)), command == "wait");
  if (argc < 3) return 2;
  HWND w = FindNamed(argv[2]);
  if (!w) return 1;
  if (command == "dump" && argc == 3) return Dump(w);
  if (command == "select" && argc == 4) return Select(w, argv[3]);
  if (command == "close" && argc == 3) return PostMessageA(w, WM_CLOSE, 0, 0) ? 0 : 1;
  if (command == "click" && argc == 4) {
    HWND button = FindChild(w, argv[3]);
    if (!button) return 1;
    PostMessageA(button, BM_CLICK, 0, 0);
    return 0;
  }
  return 2;
}
