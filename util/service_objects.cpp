// The service's presence mutex and the console's notification event.
#include "NBUtil.h"
#include "nb/text.h"
#include "nbclient.h"
#include "service_presence.h"

int CreateLock(HANDLE* out) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, NBUTIL_SERVICE_MUTEX);
  if (out) *out = mutex;
  // An existing mutex is opened and reported with ERROR_ALREADY_EXISTS: that is success.
  return mutex ? 1 : 0;
}

int CheckLock() {
  HANDLE mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, NBUTIL_SERVICE_MUTEX);
  DWORD error = mutex ? ERROR_SUCCESS : GetLastError();
  if (mutex) CloseHandle(mutex);
  if (nbutil::ServicePresent(mutex != nullptr, error)) return 1;
  SetLastError(error);
  return 0;
}

bool CreateAdminEvent(HANDLE* event, int* error, bool openOnly) {
  if (!openOnly) {
    std::u16string kernelName = nb::text::FormatWide(u"\\BaseNamedObjects\\%s", NBUTIL_ADMIN_EVENT);
    int result = NB_CreateEvent(kernelName.c_str());
    if (result != 0) {
      if (error) *error = result;
      return false;
    }
  }
  std::u16string name = nb::text::FormatWide(u"Global\\%s", NBUTIL_ADMIN_EVENT);
  HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str());
  if (!opened) {
    if (error) *error = static_cast<int>(GetLastError());
    return false;
  }
  ResetEvent(opened);
  if (event) {
    *event = opened;
  } else {
    CloseHandle(opened);
  }
  return true;
}
