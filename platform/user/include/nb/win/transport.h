// The request layer between the Win32 calls of libnbwin and the machine that serves them.
// A transport carries NT-level requests (object opens, device control, closes) to a kernel:
// one living in this process, or (later) the host over its socket. Callers of the Win32
// functions never see which one runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nb/basetypes.h"
#include "nb/registry_types.h"
#include "ntstatus.h"

namespace nb::win {

// An open of a kernel object by its object-manager name, with the parameters of
// IRP_MJ_CREATE (NT access mask, share access, disposition FILE_OPEN..., create options).
struct ObjectOpen {
  std::u16string objectName;  // e.g. "\DosDevices\nbfscntl36"
  ACCESS_MASK desiredAccess = 0;
  ULONG shareAccess = 0;
  ULONG disposition = 0;
  ULONG options = 0;
  ULONG fileAttributes = 0;
};

// Identifies an object opened through a transport; meaningful to that transport only.
using TransportObject = uint64_t;

class Transport {
 public:
  virtual ~Transport() = default;

  // The id of the process the calling thread acts as on the machine: this program's own
  // process id, unless the transport serves simulated processes.
  virtual ULONG CallerProcessId() const;

  [[nodiscard]] virtual NTSTATUS OpenObject(const ObjectOpen& open, TransportObject* object) = 0;
  // METHOD_BUFFERED semantics: the output is filled unless the request failed with an
  // error status; `returned` gets the byte count the driver reported.
  [[nodiscard]] virtual NTSTATUS DeviceControl(TransportObject object, ULONG code, const void* input,
                                               ULONG inputLength, void* output, ULONG outputLength,
                                               ULONG* returned) = 0;
  virtual void CloseObject(TransportObject object) = 0;

  // Events live in the caller's kernel handle table under `handle`, the value this
  // library gave them in its own table, so that the value names the event when it
  // travels to a driver in a request (OPEN_EVENT). They close with CloseObject.
  // Creating opens an existing event of the name and gives STATUS_OBJECT_NAME_EXISTS.
  [[nodiscard]] virtual NTSTATUS CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                                   bool initialState, TransportObject* object) {
    (void)handle, (void)objectName, (void)manualReset, (void)initialState, (void)object;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS OpenEventObject(HANDLE handle, const std::u16string& objectName,
                                                 ACCESS_MASK desiredAccess, TransportObject* object) {
    (void)handle, (void)objectName, (void)desiredAccess, (void)object;
    return STATUS_NOT_SUPPORTED;
  }
  // Sets (signalled) or resets the event.
  [[nodiscard]] virtual NTSTATUS SetEventObject(TransportObject object, bool signalled) {
    (void)object, (void)signalled;
    return STATUS_NOT_SUPPORTED;
  }
  // Mutants, filed and closed like events. Ownership belongs to the calling thread.
  // Creating opens an existing mutant of the name (its ownership untouched) and gives
  // STATUS_OBJECT_NAME_EXISTS.
  [[nodiscard]] virtual NTSTATUS CreateMutantObject(HANDLE handle, const std::u16string& objectName, bool initialOwner,
                                                    TransportObject* object) {
    (void)handle, (void)objectName, (void)initialOwner, (void)object;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS OpenMutantObject(HANDLE handle, const std::u16string& objectName,
                                                  ACCESS_MASK desiredAccess, TransportObject* object) {
    (void)handle, (void)objectName, (void)desiredAccess, (void)object;
    return STATUS_NOT_SUPPORTED;
  }
  // STATUS_MUTANT_NOT_OWNED when the calling thread does not own it.
  [[nodiscard]] virtual NTSTATUS ReleaseMutantObject(TransportObject object) {
    (void)object;
    return STATUS_NOT_SUPPORTED;
  }
  // NT wait semantics: STATUS_WAIT_0 + index, STATUS_ABANDONED_WAIT_0 + index, or
  // STATUS_TIMEOUT; timeout null waits for ever.
  [[nodiscard]] virtual NTSTATUS WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                                const LARGE_INTEGER* timeout) {
    (void)objects, (void)count, (void)waitAll, (void)timeout;
    return STATUS_NOT_SUPPORTED;
  }

  // The object manager's names (QueryDosDeviceW, GetLogicalDrives): the target of a
  // symbolic link ("\DosDevices\C:"), STATUS_OBJECT_NAME_NOT_FOUND when there is none;
  // the names directly inside a directory ("\DosDevices").
  [[nodiscard]] virtual NTSTATUS QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) {
    (void)linkName, (void)target;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS ListDirectory(const std::u16string& directory, std::vector<std::u16string>* names) {
    (void)directory, (void)names;
    return STATUS_NOT_SUPPORTED;
  }
  // NtQueryVolumeInformationFile on an opened object (an FS_INFORMATION_CLASS value);
  // `returned` gets the byte count written.
  [[nodiscard]] virtual NTSTATUS QueryVolumeInformation(TransportObject object, ULONG informationClass,
                                                        void* buffer, ULONG length, ULONG* returned) {
    (void)object, (void)informationClass, (void)buffer, (void)length, (void)returned;
    return STATUS_NOT_SUPPORTED;
  }

  // The registry. A key opens below an open key, or below `root` when `parent` is 0;
  // `create` makes it (and missing keys above it) and `disposition` tells
  // REG_CREATED_NEW_KEY from REG_OPENED_EXISTING_KEY. Keys close with CloseObject.
  // Values travel whole: the caller fits them to its buffer.
  [[nodiscard]] virtual NTSTATUS OpenRegistryKey(TransportObject parent, RegistryRoot root,
                                                 const std::u16string& subKey, ACCESS_MASK desiredAccess,
                                                 bool create, TransportObject* key, ULONG* disposition) {
    (void)parent, (void)root, (void)subKey, (void)desiredAccess, (void)create, (void)key, (void)disposition;
    return STATUS_NOT_SUPPORTED;
  }
  // Deletes the key itself (opened with DELETE); it must have no subkeys.
  [[nodiscard]] virtual NTSTATUS DeleteRegistryKey(TransportObject key) {
    (void)key;
    return STATUS_NOT_SUPPORTED;
  }
  // The index-th subkey; STATUS_NO_MORE_ENTRIES past the last.
  [[nodiscard]] virtual NTSTATUS EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                                      LONGLONG* lastWriteTime) {
    (void)key, (void)index, (void)name, (void)lastWriteTime;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) {
    (void)key, (void)info;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                                    std::vector<BYTE>* data) {
    (void)key, (void)name, (void)type, (void)data;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                                  const void* data, ULONG length) {
    (void)key, (void)name, (void)type, (void)data, (void)length;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS DeleteRegistryValue(TransportObject key, const std::u16string& name) {
    (void)key, (void)name;
    return STATUS_NOT_SUPPORTED;
  }
  // The index-th value; STATUS_NO_MORE_ENTRIES past the last.
  [[nodiscard]] virtual NTSTATUS EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name,
                                                        ULONG* type, std::vector<BYTE>* data) {
    (void)key, (void)index, (void)name, (void)type, (void)data;
    return STATUS_NOT_SUPPORTED;
  }
};

// The transport the Win32 calls of this process use; null until one is installed, and
// then calls that need the machine fail with ERROR_NOT_READY.
Transport* CurrentTransport();
// Installs a transport (null uninstalls). Handles opened through the previous one are
// closed through it first, so it can go away afterwards.
void SetTransport(Transport* transport);

// Installs a transport for the life of a scope and uninstalls it at the end.
class ScopedTransport {
 public:
  explicit ScopedTransport(Transport& transport) { SetTransport(&transport); }
  ~ScopedTransport() { SetTransport(nullptr); }
  ScopedTransport(const ScopedTransport&) = delete;
  ScopedTransport& operator=(const ScopedTransport&) = delete;
};

}  // namespace nb::win
