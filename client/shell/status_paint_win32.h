// Painting of the status window and its two fonts. Main thread only.
#pragma once

#include <windows.h>

// Written by CreateFonts (start-up) and DeleteFonts (shutdown) alone.
extern HFONT statusFont;   // "BoeingType", 12 points: the five status lines
extern HFONT versionFont;  // "Arial", 12 points: the version text

// Creates both fonts; a font that cannot be created brings a warning box
// owned by statusWindow, and its texts are drawn in the current font.
void CreateFonts();
void DeleteFonts();

// WM_PAINT: the picture at 0,0, the five status lines, the version text.
void PaintStatusWindow(HWND hwnd);

// Deletes the off-screen bitmaps that the paints keep; at the shutdown, after
// the last paint.
void ReleaseCanvas();
