// Top-level windows across processes: the few window calls a program needs to find the
// window of another process by its title and bring it forward. Served by nbwin_qt (a
// program with a Qt user interface); a window is findable while its owner keeps a
// nb::win::WindowBeacon for it (nb/win/qt_windows.h).
#pragma once

#include "windows.h"

#ifndef NB_LPARAM_DEFINED
#define NB_LPARAM_DEFINED
typedef LONG_PTR LPARAM;
#endif
typedef ULONG_PTR WPARAM;
typedef LONG_PTR LRESULT;

#define WM_USER 0x0400
#define WM_SYSCOMMAND 0x0112
#define SC_MINIMIZE 0xF020
#define SC_MAXIMIZE 0xF030
#define SC_RESTORE 0xF120

// The top-level window titled `windowName` (exact text) of any process of the machine;
// the class is not looked at (windows have none here). Null with ERROR_FILE_NOT_FOUND when
// no live process keeps such a window findable. A handle found this way names the title
// and stays valid for the life of the calling process; once the window's owner has ended,
// messages sent through it do nothing.
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
// WM_SYSCOMMAND with SC_RESTORE restores the window from minimised and raises it (for a
// window of another process, its owner does so on its user-interface thread). Other
// messages are not served: 0 with ERROR_CALL_NOT_IMPLEMENTED. A window that is gone: 0
// with ERROR_INVALID_WINDOW_HANDLE.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// TRUE for a window found or of this process (raising is part of the restore), FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a handle that names none.
BOOL SetForegroundWindow(HWND window);
// The window handle given back (non-null) for a window found or of this process, null
// with ERROR_INVALID_WINDOW_HANDLE otherwise.
HWND SetFocus(HWND window);
