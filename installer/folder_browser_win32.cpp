// SHBrowseForFolderA with its callback. initialFolder lives as long as the
// program because the callback reads it while the modal dialog runs.
#include "folder_browser_win32.h"

#include <shlobj.h>

#include "path_text.h"

namespace {

constexpr UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;  // 3

std::string initialFolder;  // the folder to select when the dialog opens, NUL-ended

// The item's path cut at its NUL; empty when the item has none.
std::string PathOfItem(PCIDLIST_ABSOLUTE item, BOOL* found) {
  char path[MAX_PATH] = {};
  *found = SHGetPathFromIDListA(item, path);
  return TrimAtNul(std::string(path, sizeof path));
}

}  // namespace

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM param, LPARAM /*data*/) {
  switch (message) {
    case BFFM_INITIALIZED:
      SendMessageA(dialog, BFFM_SETSELECTIONA, 1, reinterpret_cast<LPARAM>(initialFolder.c_str()));
      break;
    case BFFM_SELCHANGED: {
      BOOL found = FALSE;
      const std::string path = PathOfItem(reinterpret_cast<PCIDLIST_ABSOLUTE>(param), &found);
      if (found == 1)  // the dialog has no status area, so nothing shows this
        SendMessageA(dialog, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(path.c_str()));
      break;
    }
  }
  return 0;
}

BrowseResult BrowseForFolder(HWND owner, const std::string& initial, const char* title) {
  initialFolder = initial + '\0';
  BROWSEINFOA info = {};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;        // the desktop
  info.pszDisplayName = nullptr;  // no display name wanted
  info.lpszTitle = title;
  info.ulFlags = kBrowseFlags;
  info.lpfn = BrowseCallback;
  info.lParam = 0;
  info.iImage = 0;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderA(&info);
  BrowseResult result;
  if (item == nullptr) return result;  // cancelled
  BOOL found = FALSE;
  result.chosen = 1;
  result.path = PathOfItem(item, &found);
  CoTaskMemFree(item);
  return result;
}
