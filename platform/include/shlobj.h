// The shell's change notification. On this platform nothing redraws: the notifications are
// recorded (nb/win/shell_notify.h) and otherwise do nothing.
#pragma once

#include <windows.h>

#define SHCNE_UPDATEDIR 0x00001000L
#define SHCNE_ASSOCCHANGED 0x08000000L
#define SHCNE_ALLEVENTS 0x7FFFFFFFL

#define SHCNF_IDLIST 0x0000
#define SHCNF_PATHW 0x0005
#define SHCNF_FLUSH 0x1000

void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);

// The shell's folder browser. On this platform an item list is an opaque allocation that
// names one file-system folder by its Windows path ("X:\..."); free it with ILFree. The
// browser is a Qt dialog (nbwin_qt) over the machine's drives; it needs a running
// QApplication and returns null without one.
typedef struct _ITEMIDLIST ITEMIDLIST;
typedef ITEMIDLIST* LPITEMIDLIST;
typedef const ITEMIDLIST* LPCITEMIDLIST;
typedef LPITEMIDLIST PIDLIST_ABSOLUTE;

#ifndef NB_LPARAM_DEFINED
#define NB_LPARAM_DEFINED
typedef LONG_PTR LPARAM;
#endif
typedef int (*BFFCALLBACK)(HWND window, UINT message, LPARAM lParam, LPARAM data);

typedef struct _browseinfoW {
  HWND hwndOwner;
  LPCITEMIDLIST pidlRoot;  // not supported: the browser always starts at the drives
  LPWSTR pszDisplayName;   // MAX_PATH units: the chosen folder's name
  LPCWSTR lpszTitle;       // the text shown above the tree
  UINT ulFlags;            // BIF_*
  BFFCALLBACK lpfn;        // not called: the browser keeps its own status line
  LPARAM lParam;
  int iImage;
} BROWSEINFOW, *LPBROWSEINFOW;

#define BIF_RETURNONLYFSDIRS 0x00000001
#define BIF_DONTGOBELOWDOMAIN 0x00000002
#define BIF_STATUSTEXT 0x00000004

// Shows the browser modally; the chosen folder, or null when it was cancelled.
PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info);
// The folder's Windows path into `path` (MAX_PATH units); FALSE for a null list or a path
// that does not fit.
BOOL SHGetPathFromIDListW(LPCITEMIDLIST list, LPWSTR path);
void ILFree(LPITEMIDLIST list);
