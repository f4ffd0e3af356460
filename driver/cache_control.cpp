// GET_CACHE_COUNT: the number of file objects whose names the driver keeps.
#include "control_request.h"
#include "name_cache.h"

NTSTATUS ControlGetCacheCount(const ControlRequest& request, ULONG_PTR* information) {
  if (request.outputLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  *static_cast<ULONG*>(request.buffer) = NameCacheCount();
  *information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
