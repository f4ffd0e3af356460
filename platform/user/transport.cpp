// Selecting the transport of this process.
#include "nb/win/transport.h"

#include <unistd.h>

#include <atomic>

#include "objects.h"

namespace nb::win {

namespace {
std::atomic<Transport*> currentTransport{nullptr};
std::mutex installMutex;
}  // namespace

ULONG Transport::CallerProcessId() const { return static_cast<ULONG>(::getpid()); }

Transport* CurrentTransport() { return currentTransport.load(); }

void SetTransport(Transport* transport) {
  std::lock_guard lock(installMutex);
  Transport* previous = currentTransport.exchange(transport);
  if (!previous || previous == transport) return;
  // Closed here, through the transport that opened them, while it still exists.
  auto closing = ProcessHandles().RemoveIf([previous](const HandleObject& object) {
    auto* handle = dynamic_cast<const TransportHandle*>(&object);
    return handle && handle->transport() == previous;
  });
  closing.clear();
}

}  // namespace nb::win
