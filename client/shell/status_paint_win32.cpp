// Painting of the status window. The picture, the status lines and the
// version text are drawn into an off-screen bitmap first and copied to the
// window in one step, so the twice-a-second repaints do not flicker. That
// bitmap and a second one holding the unchanging background (the fill and the
// picture) are made at the first paint and kept until the shutdown: a paint
// holds up every IPC request waiting behind it, and making them anew cost
// more than all the drawing. The lines are formatted from one copy of the
// link's status, so a paint never mixes two updates.
#include "shell/status_paint_win32.h"

#include <cstdint>
#include <cstdio>

#include "base/version.h"
#include "shell/resources/resource.h"
#include "shell/status_window_win32.h"

namespace {

HFONT statusFont = nullptr;   // written by CreateFonts and DeleteFonts
HFONT versionFont = nullptr;
HBITMAP ballBitmap = nullptr;  // written by LoadBallBitmap and ReleaseBallBitmap

constexpr int kPointSize = 12;
constexpr size_t kVersionTextSize = 20;
constexpr int kTabOrigin = 40;

struct LinePlace {
  StatusLineId id;
  int x, y;
};
constexpr LinePlace kConnectionPlace = {kConnectionLine, 18, 150};
constexpr LinePlace kTabbedPlaces[] = {
    {kRequestLine, 18, 180}, {kReadLine, 18, 200}, {kWriteLine, 18, 220}, {kUdpLine, 18, 240}};

// Selects an object into a device context for one scope; no object, no change.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object != nullptr ? SelectObject(dc, object) : nullptr) {}
  ~Selection() {
    if (previous_ != nullptr) SelectObject(dc_, previous_);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A memory device context compatible with another one, deleted at scope end.
class MemoryDc {
 public:
  explicit MemoryDc(HDC like) : dc(CreateCompatibleDC(like)) {}
  ~MemoryDc() {
    if (dc != nullptr) DeleteDC(dc);
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  HDC dc;
};

HFONT CreateTextFont(int height, const char* face) {
  HFONT font = CreateFontA(-height, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, face);
  if (font == nullptr) MessageBoxA(statusWindow, "Font creation failed!", "Error", MB_ICONWARNING);
  return font;
}

void DrawPicture(HDC dc) {
  if (ballBitmap == nullptr) return;
  MemoryDc picture(dc);
  if (picture.dc == nullptr) return;
  Selection bitmap(picture.dc, ballBitmap);
  BITMAP size = {};
  GetObjectA(ballBitmap, sizeof size, &size);
  BitBlt(dc, 0, 0, size.bmWidth, size.bmHeight, picture.dc, 0, 0, SRCCOPY);
}

// A memory device context with a bitmap of its own selected, kept between
// paints.
struct Surface {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  int width = 0, height = 0;
};

Surface canvas;      // what a paint draws into and copies to the window
Surface background;  // the fill and the picture, drawn once

void ReleaseSurface(Surface& s) {
  if (s.dc != nullptr) {
    if (s.previous != nullptr) SelectObject(s.dc, s.previous);
    DeleteDC(s.dc);
  }
  if (s.bitmap != nullptr) DeleteObject(s.bitmap);
  s = Surface{};
}

// Makes s width x height, compatible with like, unless it is already. 1 when
// it is ready.
int PrepareSurface(Surface& s, HDC like, int width, int height) {
  if (s.dc != nullptr && s.width == width && s.height == height) return 1;
  ReleaseSurface(s);
  s.dc = CreateCompatibleDC(like);
  s.bitmap = s.dc != nullptr ? CreateCompatibleBitmap(like, width, height) : nullptr;
  if (s.bitmap == nullptr) {
    ReleaseSurface(s);
    return 0;
  }
  s.previous = SelectObject(s.dc, s.bitmap);
  s.width = width, s.height = height;
  return 1;
}

// The canvas holds the background, ready for the lines. 1, or 0 when the
// off-screen bitmaps cannot be made.
int PrepareCanvas(HDC screen, const RECT& client) {
  const bool fresh = background.dc == nullptr || background.width != client.right ||
                     background.height != client.bottom;
  if (PrepareSurface(background, screen, client.right, client.bottom) == 0 ||
      PrepareSurface(canvas, screen, client.right, client.bottom) == 0)
    return 0;
  if (fresh) {
    FillRect(background.dc, &client, GetSysColorBrush(COLOR_WINDOW));  // where the picture does not reach
    DrawPicture(background.dc);
  }
  BitBlt(canvas.dc, 0, 0, client.right, client.bottom, background.dc, 0, 0, SRCCOPY);
  return 1;
}

// The five status lines in statusFont, black on the picture.
void DrawStatusLines(HDC dc, const LinkStatus& status) {
  Selection font(dc, statusFont);
  SetTextColor(dc, RGB(0, 0, 0));
  SetBkMode(dc, TRANSPARENT);
  char text[kUdpLineSize];
  uint32_t n = FormatStatusLine(status, kConnectionPlace.id, text, sizeof text);
  TextOutA(dc, kConnectionPlace.x, kConnectionPlace.y, text, int(n));
  for (const LinePlace& place : kTabbedPlaces) {
    n = FormatStatusLine(status, place.id, text, sizeof text);
    TabbedTextOutA(dc, place.x, place.y, text, int(n), 0, nullptr, kTabOrigin);
  }
}

// Colour and background mode are those DrawStatusLines left.
void DrawVersion(HDC dc) {
  Selection font(dc, versionFont);
  char text[kVersionTextSize];
  const int n = std::snprintf(text, sizeof text, "Version %s", kVersionText);
  TextOutA(dc, 140, 112, text, n);
}

}  // namespace

void CreateFonts() {
  HDC screen = GetDC(nullptr);
  const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  const int height = MulDiv(kPointSize, pixelsPerInch, 72);
  statusFont = CreateTextFont(height, "BoeingType");
  versionFont = CreateTextFont(height, "Arial");
}

void DeleteFonts() {
  if (statusFont != nullptr) DeleteObject(statusFont);
  if (versionFont != nullptr) DeleteObject(versionFont);
  statusFont = versionFont = nullptr;
}

int LoadBallBitmap() {
  ballBitmap = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_BALL));
  return ballBitmap != nullptr ? 1 : 0;
}

void ReleaseBallBitmap() {
  if (ballBitmap != nullptr) DeleteObject(ballBitmap);
  ballBitmap = nullptr;
}

void ReleaseCanvas() {
  ReleaseSurface(canvas);
  ReleaseSurface(background);
}

void PaintStatusWindow(HWND hwnd, const LinkStatus& status) {
  PAINTSTRUCT paint;
  HDC screen = BeginPaint(hwnd, &paint);
  RECT client;
  GetClientRect(hwnd, &client);
  if (PrepareCanvas(screen, client) == 1) {
    DrawStatusLines(canvas.dc, status);
    DrawVersion(canvas.dc);
    BitBlt(screen, 0, 0, client.right, client.bottom, canvas.dc, 0, 0, SRCCOPY);
  } else {
    DrawPicture(screen);  // no memory for the off-screen copies: draw directly
    DrawStatusLines(screen, status);
    DrawVersion(screen);
  }
  EndPaint(hwnd, &paint);
}
