// The file calls (GetFileAttributesW, DeleteFileW, FindFirstFileW ...) are declared with the
// rest of the Win32 subset in windows.h, as the Windows headers reach them from there too.
#pragma once

#include "windows.h"
