// CoInitialize and CoUninitialize: a count per thread, nothing more.
#include <objbase.h>

namespace {

thread_local int initialisations = 0;

}  // namespace

HRESULT CoInitialize(LPVOID /*reserved*/) { return initialisations++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (initialisations > 0) --initialisations;
}
