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

  // Events: the kernel handle is made in the calling thread's current process, and every
  // later call on it acts in that process (in_process_events.cpp).
  [[nodiscard]] NTSTATUS CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                           bool initialState, TransportObject* object) override;
  [[nodiscard]] NTSTATUS OpenEventObject(HANDLE handle, const std::u16string& objectName,
                                         ACCESS_MASK desiredAccess, TransportObject* object) override;
  [[nodiscard]] NTSTATUS SetEventObject(TransportObject object, bool signalled) override;
  [[nodiscard]] NTSTATUS WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                        const LARGE_INTEGER* timeout) override;

  // Names and volume information (in_process_volumes.cpp).
  [[nodiscard]] NTSTATUS QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) override;
  [[nodiscard]] NTSTATUS ListDirectory(const std::u16string& directory,
                                       std::vector<std::u16string>* names) override;
  [[nodiscard]] NTSTATUS QueryVolumeInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                ULONG length, ULONG* returned) override;
};

// In-process transport objects that are kernel handles carry this tag bit (file-object
// pointers never have it), with the owning process id in the upper half.
inline constexpr TransportObject kKernelHandleObject = 1;
bool IsKernelHandleObject(TransportObject object);
// Closes a kernel handle object in its process.
void CloseKernelHandleObject(TransportObject object);

}  // namespace nb::win
