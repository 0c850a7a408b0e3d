// Resource identifiers of the client, shared by kestrovaline.rc and the C++
// code. Several numbers are used twice on purpose (a menu and an accelerator
// table, a string and a dialog): each pair lives in different resource types.
#pragma once

// Strings
#define IDS_APP_TITLE 103         // "Kestrovaline", the window title
#define IDS_CLASS_STANDALONE 109  // "FS98MAIN", window class of standalone mode
#define IDS_CLASS_PLUGIN 111      // "UIPCMAIN", window class of plug-in mode

// Dialogs, menus, accelerators, pictures
#define IDD_INFO 103              // the Info dialog
#define IDI_LARGE 107             // class icon
#define IDI_SMALL 108             // small class icon
#define IDR_MAIN_MENU 109         // menu of the status window
#define IDR_ACCELERATORS 109      // Alt+? and Alt+/ open the Info dialog
#define IDB_BALL 110              // banner picture, 450 x 258, 24 bits per pixel
#define IDI_INFO_FRAME 128        // named by the Info dialog's icon frame; the program has no such icon

// Menu commands
#define IDM_INFO 104
#define IDM_EXIT 105
#define IDM_READ_LOGGING 111
#define IDM_WRITE_LOGGING 112
#define IDM_WEB_ADDRESS 113

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
