// Whether the service runs, from the open of its mutex.
#include "service_presence.h"

namespace nbutil {

bool ServicePresent(bool opened, DWORD openError) { return opened || openError == ERROR_ACCESS_DENIED; }

}  // namespace nbutil
