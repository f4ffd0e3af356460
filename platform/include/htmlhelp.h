// The HTML help display (served by nbwin_qt): a help file opened in a text browser window.
#pragma once

#include "windows.h"

typedef ULONG_PTR DWORD_PTR;

#define HH_DISPLAY_TOPIC 0x0000
#define HH_CLOSE_ALL 0x0012

// HH_DISPLAY_TOPIC shows the HTML file `file` ("X:\..." or "\\?\unix\...") in the help
// window, made once per process and reused, and returns that window; `data` is not used.
// HH_CLOSE_ALL closes it and returns null. Null with ERROR_FILE_NOT_FOUND for a file that
// cannot be read, ERROR_INVALID_PARAMETER for another command, and ERROR_CALL_NOT_IMPLEMENTED
// without a running QApplication.
HWND HtmlHelpW(HWND caller, LPCWSTR file, UINT command, DWORD_PTR data);
