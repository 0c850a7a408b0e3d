// Painting of the status window, its two fonts ("BoeingType" for the five
// status lines, "Arial" for the version text, 12 points each) and its
// picture. Main thread only.
#pragma once

#include <windows.h>

#include "link/link_status.h"

// Creates both fonts; a font that cannot be created brings a warning box
// owned by statusWindow, and its texts are drawn in the current font.
void CreateFonts();
void DeleteFonts();

// Loads the picture (IDB_BALL) at the window's creation: 1, or 0 when it
// could not be loaded (the window then shows no picture). ReleaseBallBitmap
// deletes it; later calls do nothing.
int LoadBallBitmap();
void ReleaseBallBitmap();

// WM_PAINT: the picture at 0,0, the five status lines of status, the version
// text.
void PaintStatusWindow(HWND hwnd, const LinkStatus& status);

// Deletes the off-screen bitmaps that the paints keep; at the shutdown, after
// the last paint.
void ReleaseCanvas();
