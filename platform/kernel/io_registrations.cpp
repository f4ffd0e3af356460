// File-system registration and change routines, and device-interface notifications.
#include "nb/kernel/io_registrations.h"

#include <algorithm>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

// {CB3A4004-46F0-11D0-B08F-00609713053F}, {CB3A4005-46F0-11D0-B08F-00609713053F}
const GUID GUID_DEVICE_INTERFACE_ARRIVAL = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
const GUID GUID_DEVICE_INTERFACE_REMOVAL = {0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}
const GUID GUID_DEVINTERFACE_VOLUME = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

namespace nb::kernel {

namespace {
constexpr ULONG kRegistrationTag = 'iFoI';
constexpr size_t kRegistrationBytes = 16;
}  // namespace

IoRegistrations::~IoRegistrations() {
  for (const FsChangeRoutine& routine : fsChangeRoutines_) ExFreePoolWithTag(routine.record, kRegistrationTag);
  for (const InterfaceRoutine& routine : interfaceRoutines_) ExFreePoolWithTag(routine.entry, kRegistrationTag);
}

void IoRegistrations::RegisterFileSystem(PDEVICE_OBJECT controlDevice) {
  std::lock_guard lock(mutex_);
  if (std::find(fileSystems_.begin(), fileSystems_.end(), controlDevice) != fileSystems_.end()) return;
  fileSystems_.push_back(controlDevice);
  ProcessScope system(CurrentKernel().Processes().System());
  // A copy: a routine may register another routine, which is told on its own.
  std::vector<FsChangeRoutine> routines = fsChangeRoutines_;
  for (const FsChangeRoutine& routine : routines) routine.routine(controlDevice, TRUE);
}

void IoRegistrations::UnregisterFileSystem(PDEVICE_OBJECT controlDevice) {
  std::lock_guard lock(mutex_);
  auto it = std::find(fileSystems_.begin(), fileSystems_.end(), controlDevice);
  if (it == fileSystems_.end()) return;
  fileSystems_.erase(it);
  ProcessScope system(CurrentKernel().Processes().System());
  std::vector<FsChangeRoutine> routines = fsChangeRoutines_;
  for (const FsChangeRoutine& routine : routines) routine.routine(controlDevice, FALSE);
}

std::vector<PDEVICE_OBJECT> IoRegistrations::FileSystems(ULONG deviceType) const {
  std::lock_guard lock(mutex_);
  std::vector<PDEVICE_OBJECT> matching;
  for (PDEVICE_OBJECT device : fileSystems_) {
    if (device->DeviceType == deviceType) matching.push_back(device);
  }
  return matching;
}

NTSTATUS IoRegistrations::RegisterFsChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  if (!routine) return STATUS_INVALID_PARAMETER;
  void* record = ExAllocatePoolWithTag(NonPagedPool, kRegistrationBytes, kRegistrationTag);
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard lock(mutex_);
  fsChangeRoutines_.push_back(FsChangeRoutine{driver, routine, record});
  ProcessScope system(CurrentKernel().Processes().System());
  std::vector<PDEVICE_OBJECT> registered = fileSystems_;
  for (PDEVICE_OBJECT fileSystem : registered) routine(fileSystem, TRUE);
  return STATUS_SUCCESS;
}

void IoRegistrations::UnregisterFsChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(fsChangeRoutines_.begin(), fsChangeRoutines_.end(), [&](const FsChangeRoutine& entry) {
    return entry.driver == driver && entry.routine == routine;
  });
  if (it == fsChangeRoutines_.end()) return;
  ExFreePoolWithTag(it->record, kRegistrationTag);
  fsChangeRoutines_.erase(it);
}

void IoRegistrations::NotifyInterface(const InterfaceRoutine& routine, const GUID& event, const GUID& interfaceClass,
                                      const std::u16string& symbolicLink) {
  UNICODE_STRING link;
  link.Buffer = const_cast<PWSTR>(symbolicLink.c_str());
  link.Length = static_cast<USHORT>(symbolicLink.size() * sizeof(WCHAR));
  link.MaximumLength = static_cast<USHORT>(link.Length + sizeof(WCHAR));
  DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
  notification.Version = 1;
  notification.Size = sizeof notification;
  notification.Event = event;
  notification.InterfaceClassGuid = interfaceClass;
  notification.SymbolicLinkName = &link;
  (void)routine.routine(&notification, routine.context);
}

NTSTATUS IoRegistrations::RegisterInterfaceChange(const GUID& interfaceClass, bool includeExisting, PDRIVER_OBJECT,
                                                  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE routine, PVOID context,
                                                  PVOID* entry) {
  *entry = nullptr;
  if (!routine) return STATUS_INVALID_PARAMETER;
  void* record = ExAllocatePoolWithTag(NonPagedPool, kRegistrationBytes, kRegistrationTag);
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard lock(mutex_);
  InterfaceRoutine registered{interfaceClass, routine, context, record};
  interfaceRoutines_.push_back(registered);
  *entry = record;
  if (includeExisting) {
    ProcessScope system(CurrentKernel().Processes().System());
    std::vector<EnabledInterface> enabled = enabledInterfaces_;
    for (const EnabledInterface& instance : enabled) {
      if (IsEqualGUID(instance.interfaceClass, interfaceClass))
        NotifyInterface(registered, GUID_DEVICE_INTERFACE_ARRIVAL, interfaceClass, instance.symbolicLink);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoRegistrations::UnregisterInterfaceChange(PVOID entry) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(interfaceRoutines_.begin(), interfaceRoutines_.end(),
                         [&](const InterfaceRoutine& routine) { return routine.entry == entry; });
  if (it == interfaceRoutines_.end()) return STATUS_INVALID_PARAMETER;
  ExFreePoolWithTag(it->entry, kRegistrationTag);
  interfaceRoutines_.erase(it);
  return STATUS_SUCCESS;
}

void IoRegistrations::SetInterfaceState(const GUID& interfaceClass, const std::u16string& symbolicLink,
                                        bool enabled) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(enabledInterfaces_.begin(), enabledInterfaces_.end(), [&](const EnabledInterface& e) {
    return IsEqualGUID(e.interfaceClass, interfaceClass) && e.symbolicLink == symbolicLink;
  });
  if (enabled == (it != enabledInterfaces_.end())) return;  // no change, nothing to tell
  if (enabled) {
    enabledInterfaces_.push_back(EnabledInterface{interfaceClass, symbolicLink});
  } else {
    enabledInterfaces_.erase(it);
  }
  ProcessScope system(CurrentKernel().Processes().System());
  std::vector<InterfaceRoutine> routines = interfaceRoutines_;
  for (const InterfaceRoutine& routine : routines) {
    if (!IsEqualGUID(routine.interfaceClass, interfaceClass)) continue;
    // A routine unregistered by an earlier one in this round is not called.
    bool stillRegistered = std::any_of(interfaceRoutines_.begin(), interfaceRoutines_.end(),
                                       [&](const InterfaceRoutine& r) { return r.entry == routine.entry; });
    if (stillRegistered)
      NotifyInterface(routine, enabled ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL,
                      interfaceClass, symbolicLink);
  }
}

}  // namespace nb::kernel

using nb::kernel::CurrentKernel;

VOID IoRegisterFileSystem(PDEVICE_OBJECT deviceObject) { CurrentKernel().Registrations().RegisterFileSystem(deviceObject); }

VOID IoUnregisterFileSystem(PDEVICE_OBJECT deviceObject) {
  CurrentKernel().Registrations().UnregisterFileSystem(deviceObject);
}

NTSTATUS IoRegisterFsRegistrationChange(PDRIVER_OBJECT driverObject, PDRIVER_FS_NOTIFICATION driverNotificationRoutine) {
  return CurrentKernel().Registrations().RegisterFsChange(driverObject, driverNotificationRoutine);
}

VOID IoUnregisterFsRegistrationChange(PDRIVER_OBJECT driverObject, PDRIVER_FS_NOTIFICATION driverNotificationRoutine) {
  CurrentKernel().Registrations().UnregisterFsChange(driverObject, driverNotificationRoutine);
}

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY eventCategory, ULONG eventCategoryFlags,
                                        PVOID eventCategoryData, PDRIVER_OBJECT driverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callbackRoutine, PVOID context,
                                        PVOID* notificationEntry) {
  *notificationEntry = nullptr;
  if (eventCategory != EventCategoryDeviceInterfaceChange) return STATUS_NOT_SUPPORTED;
  if (!eventCategoryData) return STATUS_INVALID_PARAMETER;
  return CurrentKernel().Registrations().RegisterInterfaceChange(
      *static_cast<const GUID*>(eventCategoryData),
      (eventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) != 0, driverObject,
      callbackRoutine, context, notificationEntry);
}

NTSTATUS IoUnregisterPlugPlayNotification(PVOID notificationEntry) {
  return CurrentKernel().Registrations().UnregisterInterfaceChange(notificationEntry);
}

namespace nb::kernel {

NTSTATUS IoRegistrations::RegisterPolicyCallback(PDEVICE_OBJECT volume, PIO_VOLUME_POLICY_CALLBACK callback,
                                                 PVOID context, PVOID* registration) {
  *registration = nullptr;
  if (!volume || !callback) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(policyMutex_);
  policyCallbacks_.push_back(PolicyCallback{volume, callback, context});
  *registration = &policyCallbacks_.back();
  return STATUS_SUCCESS;
}

void IoRegistrations::UnregisterPolicyCallback(PVOID registration) {
  std::unique_lock lock(policyMutex_);
  auto it = std::find_if(policyCallbacks_.begin(), policyCallbacks_.end(),
                         [&](const PolicyCallback& entry) { return &entry == registration; });
  if (it == policyCallbacks_.end()) return;
  it->unregistered = true;
  // A notice under way still uses the context: the caller may free it only afterwards.
  policyIdle_.wait(lock, [&] { return it->running == 0; });
  policyCallbacks_.erase(it);
}

void IoRegistrations::NotifyPolicyChange(PDEVICE_OBJECT volume) {
  std::vector<PolicyCallback*> called;
  {
    std::lock_guard lock(policyMutex_);
    for (PolicyCallback& entry : policyCallbacks_) {
      if (entry.volume != volume || entry.unregistered) continue;
      ++entry.running;  // keeps the record (a list node does not move) until the call ends
      called.push_back(&entry);
    }
  }
  for (PolicyCallback* entry : called) {
    entry->callback(volume, entry->context);
    std::lock_guard lock(policyMutex_);
    if (--entry->running == 0) policyIdle_.notify_all();
  }
}

}  // namespace nb::kernel

namespace {

// The base of the stack `device` belongs to: the file system's volume device for a filter.
PDEVICE_OBJECT BaseOfStack(PDEVICE_OBJECT device) {
  std::lock_guard lock(CurrentKernel().DeviceTreeLock());
  while (device->AttachedTo) device = device->AttachedTo;
  return device;
}

}  // namespace

NTSTATUS IoRegisterVolumePolicyCallback(PDEVICE_OBJECT deviceObject, PIO_VOLUME_POLICY_CALLBACK callback,
                                        PVOID context, PVOID* registration) {
  if (!deviceObject) return STATUS_INVALID_PARAMETER;
  return CurrentKernel().Registrations().RegisterPolicyCallback(BaseOfStack(deviceObject), callback, context,
                                                                registration);
}

VOID IoUnregisterVolumePolicyCallback(PVOID registration) {
  CurrentKernel().Registrations().UnregisterPolicyCallback(registration);
}

VOID IoNotifyVolumePolicyChange(PDEVICE_OBJECT deviceObject) {
  if (deviceObject) CurrentKernel().Registrations().NotifyPolicyChange(BaseOfStack(deviceObject));
}
