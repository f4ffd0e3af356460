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
