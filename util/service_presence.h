// Whether the service runs, from the open of its mutex.
#pragma once

#include <windows.h>

namespace nbutil {

// The mutex exists when it opened, or when the open was refused because it belongs to
// another account.
bool ServicePresent(bool opened, DWORD openError);

}  // namespace nbutil
