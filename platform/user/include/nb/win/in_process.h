// The in-process transport: the Win32 calls of this process are served by the kernel
// instance living in it, each call acting as the calling thread's current process.
#pragma once

#include <atomic>
#include <cstdint>

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

  // The registry (in_process_registry.cpp): keys open in the calling thread's current
  // process and as the Linux user set here, by default this process's effective user
  // (the socket server takes the peer's).
  void ActAsUser(uint32_t uid) { uid_.store(uid); }
  uint32_t User() const { return uid_.load(); }
  [[nodiscard]] NTSTATUS OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                         ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                         ULONG* disposition) override;
  [[nodiscard]] NTSTATUS DeleteRegistryKey(TransportObject key) override;
  [[nodiscard]] NTSTATUS EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                              LONGLONG* lastWriteTime) override;
  [[nodiscard]] NTSTATUS QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) override;
  [[nodiscard]] NTSTATUS QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                            std::vector<BYTE>* data) override;
  [[nodiscard]] NTSTATUS SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                          const void* data, ULONG length) override;
  [[nodiscard]] NTSTATUS DeleteRegistryValue(TransportObject key, const std::u16string& name) override;
  [[nodiscard]] NTSTATUS EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name,
                                                ULONG* type, std::vector<BYTE>* data) override;

 private:
  std::atomic<uint32_t> uid_{EffectiveUser()};
  static uint32_t EffectiveUser();
};

// In-process transport objects that are kernel handles carry this tag bit (file-object
// pointers never have it), with the owning process id in the upper half.
inline constexpr TransportObject kKernelHandleObject = 1;
bool IsKernelHandleObject(TransportObject object);
// Closes a kernel handle object in its process.
void CloseKernelHandleObject(TransportObject object);
// Registry keys carry this tag bit instead, with the hive's handle value in the lower half
// and the owning process id in the upper.
inline constexpr TransportObject kRegistryKeyObject = 2;
bool IsRegistryKeyObject(TransportObject object);
void CloseRegistryKeyObject(TransportObject object);

}  // namespace nb::win
