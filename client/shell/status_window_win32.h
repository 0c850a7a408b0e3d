// The status window: its class, its creation, the window procedure with the
// menu commands and the Info dialog. Main thread only, except statusWindow,
// which the supervisor's window port reads after start-up.
#pragma once

#include <windows.h>

#include <cstddef>

class Link;

inline constexpr size_t kWindowTextSize = 100;

// Written once at start-up: the texts by LoadWindowTexts, the rest as noted.
extern char windowTitle[kWindowTextSize];      // string resource 103
extern char windowClassName[kWindowTextSize];  // string resource 109 or 111
extern HWND statusWindow;                      // set once by CreateStatusWindow
extern UINT ipcMessageId;                      // "FsasmLib:IPC"; 0 when it could not be registered

// Loads windowTitle and windowClassName (classNameId: the run mode's string).
void LoadWindowTexts(HINSTANCE instance, unsigned classNameId);

// Registers the class named windowClassName. Not checked: a failed
// registration shows up as a failed window creation.
void RegisterStatusWindowClass(HINSTANCE instance);

// Creates the window, logs the result, registers "FsasmLib:IPC" and shows the
// window with showCommand. The window serves requests over link's image
// access and paints link's status. Returns 1, or 0 when the window could not
// be created.
int CreateStatusWindow(HINSTANCE instance, int showCommand, Link& link);

LRESULT CALLBACK StatusWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
