// The in-process transport: the Win32 calls of this process are served by the kernel
// instance living in it, each call acting as the calling thread's current process.
#pragma once

#include "nb/win/transport.h"

namespace nb::win {

class InProcessTransport final : public Transport {
 public:
  [[nodiscard]] NTSTATUS OpenObject(const ObjectOpen& open, TransportObject* object) override;
  [[nodiscard]] NTSTATUS DeviceControl(TransportObject object, ULONG code, const void* input, ULONG inputLength,
                                       void* output, ULONG outputLength, ULONG* returned) override;
  void CloseObject(TransportObject object) override;
};

}  // namespace nb::win
