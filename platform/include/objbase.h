// COM initialisation of a thread. There are no COM objects on this platform: the calls
// only count, so that paired calls balance as on Windows.
#pragma once

#include "windows.h"

typedef LONG HRESULT;
#ifndef S_OK
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#endif

// S_OK for the thread's first initialisation, S_FALSE for a further one.
HRESULT CoInitialize(LPVOID reserved);
// Ends one initialisation of the thread.
void CoUninitialize();
