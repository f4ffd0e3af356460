// The registry through the in-process transport: the kernel's hive, with key handles owned
// by the process that opened them and every request made as the transport's user.
#include <unistd.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/kernel/registry.h"
#include "nb/win/in_process.h"

namespace nb::win {

namespace {

TransportObject Encode(ULONG processId, kernel::RegistryHandle key) {
  return (TransportObject{processId} << 32) | key | kRegistryKeyObject;
}

ULONG ProcessOf(TransportObject object) { return static_cast<ULONG>(object >> 32); }

kernel::RegistryHandle KeyOf(TransportObject object) {
  return static_cast<kernel::RegistryHandle>(object) & ~static_cast<kernel::RegistryHandle>(kRegistryKeyObject);
}

// Runs `call` on the hive as the process that owns the key; STATUS_INVALID_HANDLE for an
// object that is no key.
template <typename Call>
NTSTATUS OnKey(TransportObject object, uint32_t uid, Call call) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel) return STATUS_NO_SUCH_DEVICE;
  if (!IsRegistryKeyObject(object)) return STATUS_INVALID_HANDLE;
  return call(kernel->Registry(), kernel::RegistryCaller{uid, ProcessOf(object)}, KeyOf(object));
}

}  // namespace

bool IsRegistryKeyObject(TransportObject object) {
  return (object & (kRegistryKeyObject | kKernelHandleObject)) == kRegistryKeyObject;
}

void CloseRegistryKeyObject(TransportObject object) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel || !IsRegistryKeyObject(object)) return;
  // Closing needs no rights; the owner is all that is checked.
  (void)kernel->Registry().CloseKey(kernel::RegistryCaller{0, ProcessOf(object)}, KeyOf(object));
}

uint32_t InProcessTransport::EffectiveUser() { return static_cast<uint32_t>(::geteuid()); }

NTSTATUS InProcessTransport::OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                             ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                             ULONG* disposition) {
  *key = 0;
  *disposition = 0;
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel) return STATUS_NO_SUCH_DEVICE;
  kernel::RegistryCaller caller{User(), kernel::ProcessTable::IdOf(kernel::CurrentProcess())};
  kernel::RegistryHandle parentKey = 0;
  if (parent != 0) {
    if (!IsRegistryKeyObject(parent)) return STATUS_INVALID_HANDLE;
    caller.processId = ProcessOf(parent);
    parentKey = KeyOf(parent);
  }
  kernel::RegistryHandle opened;
  NTSTATUS status =
      kernel->Registry().OpenKey(caller, parentKey, root, subKey, desiredAccess, create, &opened, disposition);
  if (NT_SUCCESS(status)) *key = Encode(caller.processId, opened);
  return status;
}

NTSTATUS InProcessTransport::DeleteRegistryKey(TransportObject key) {
  return OnKey(key, User(), [](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                               kernel::RegistryHandle handle) { return hive.DeleteKey(caller, handle); });
}

NTSTATUS InProcessTransport::EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                                  LONGLONG* lastWriteTime) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) {
    return hive.EnumerateKey(caller, handle, index, name, lastWriteTime);
  });
}

NTSTATUS InProcessTransport::QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) { return hive.QueryKeyInfo(caller, handle, info); });
}

NTSTATUS InProcessTransport::QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                                std::vector<BYTE>* data) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) {
    return hive.QueryValue(caller, handle, name, type, data);
  });
}

NTSTATUS InProcessTransport::SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                              const void* data, ULONG length) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) {
    return hive.SetValue(caller, handle, name, type, data, length);
  });
}

NTSTATUS InProcessTransport::DeleteRegistryValue(TransportObject key, const std::u16string& name) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) { return hive.DeleteValue(caller, handle, name); });
}

NTSTATUS InProcessTransport::EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name,
                                                    ULONG* type, std::vector<BYTE>* data) {
  return OnKey(key, User(), [&](kernel::RegistryHive& hive, const kernel::RegistryCaller& caller,
                                kernel::RegistryHandle handle) {
    return hive.EnumerateValue(caller, handle, index, name, type, data);
  });
}

}  // namespace nb::win
