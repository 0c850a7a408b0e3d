// The shell's folder browser, run modally on the window's thread.
#pragma once

#include <windows.h>

#include "installer_state.h"

// Runs the browser owned by owner, with the folder initial selected when it
// opens and title above its folder tree. A cancel gives chosen 0; a chosen
// item gives chosen 1 and its file-system path (empty when it has none).
BrowseResult BrowseForFolder(HWND owner, const std::string& initial, const char* title);

// The browser's callback: selects the initial folder when the dialog opens
// and passes each new selection's path on as status text. Returns 0.
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM param, LPARAM data);
