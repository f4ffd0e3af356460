// What the I/O manager keeps on behalf of drivers that want to hear about others:
// registered file systems and the routines told when one comes or goes, and the
// device-interface routines told when an interface (a volume) is enabled or disabled.
#pragma once

#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include <ntifs.h>

namespace nb::kernel {

class IoRegistrations {
 public:
  IoRegistrations() = default;
  ~IoRegistrations();  // frees the records of routines nobody unregistered
  IoRegistrations(const IoRegistrations&) = delete;
  IoRegistrations& operator=(const IoRegistrations&) = delete;

  // IoRegisterFileSystem and IoUnregisterFileSystem: every change routine hears of it.
  void RegisterFileSystem(PDEVICE_OBJECT controlDevice);
  void UnregisterFileSystem(PDEVICE_OBJECT controlDevice);
  // The registered control devices of a device type (FILE_DEVICE_DISK_FILE_SYSTEM ...),
  // in registration order: the candidates for mounting a volume.
  std::vector<PDEVICE_OBJECT> FileSystems(ULONG deviceType) const;

  // IoRegisterFsRegistrationChange: the routine is also called at once for every file
  // system already registered. Fails when its record cannot be allocated.
  [[nodiscard]] NTSTATUS RegisterFsChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine);
  void UnregisterFsChange(PDRIVER_OBJECT driver, PDRIVER_FS_NOTIFICATION routine);

  // IoRegisterPlugPlayNotification for device-interface changes of one class.
  [[nodiscard]] NTSTATUS RegisterInterfaceChange(const GUID& interfaceClass, bool includeExisting,
                                                 PDRIVER_OBJECT driver,
                                                 PDRIVER_NOTIFICATION_CALLBACK_ROUTINE routine, PVOID context,
                                                 PVOID* entry);
  [[nodiscard]] NTSTATUS UnregisterInterfaceChange(PVOID entry);
  // An interface instance is enabled (arrival) or disabled (removal): its class's
  // routines run in the calling thread, in the System process.
  void SetInterfaceState(const GUID& interfaceClass, const std::u16string& symbolicLink, bool enabled);

  // IoRegisterVolumePolicyCallback, IoUnregisterVolumePolicyCallback and
  // IoNotifyVolumePolicyChange; `volume` is the base of the stack the device belongs to.
  [[nodiscard]] NTSTATUS RegisterPolicyCallback(PDEVICE_OBJECT volume, PIO_VOLUME_POLICY_CALLBACK callback,
                                                PVOID context, PVOID* registration);
  void UnregisterPolicyCallback(PVOID registration);
  void NotifyPolicyChange(PDEVICE_OBJECT volume);

 private:
  struct FsChangeRoutine {
    PDRIVER_OBJECT driver;
    PDRIVER_FS_NOTIFICATION routine;
    void* record;  // the pool record that makes registration fallible, as on Windows
  };
  struct InterfaceRoutine {
    GUID interfaceClass;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE routine;
    PVOID context;
    void* entry;
  };
  struct EnabledInterface {
    GUID interfaceClass;
    std::u16string symbolicLink;
  };
  static void NotifyInterface(const InterfaceRoutine& routine, const GUID& event, const GUID& interfaceClass,
                              const std::u16string& symbolicLink);

  struct PolicyCallback {
    PDEVICE_OBJECT volume;
    PIO_VOLUME_POLICY_CALLBACK callback;
    PVOID context;
    unsigned running = 0;     // calls under way
    bool unregistered = false;  // no new calls; the record goes once running is 0
  };
  // Policy callbacks have their own lock, never held while a callback runs: a callback
  // may wait for work (the host's requests) that itself raises a notice or registers.
  std::mutex policyMutex_;
  std::condition_variable policyIdle_;
  std::list<PolicyCallback> policyCallbacks_;

  // Held while routines run, so an unregistered routine is never called afterwards;
  // recursive because a routine may register or unregister in turn.
  mutable std::recursive_mutex mutex_;
  std::vector<PDEVICE_OBJECT> fileSystems_;
  std::vector<FsChangeRoutine> fsChangeRoutines_;
  std::vector<InterfaceRoutine> interfaceRoutines_;
  std::vector<EnabledInterface> enabledInterfaces_;
};

}  // namespace nb::kernel
