// The request layer between the Win32 calls of libnbwin and the machine that serves them.
// A transport carries NT-level requests (object opens, device control, closes) to a kernel:
// one living in this process, or (later) the host over its socket. Callers of the Win32
// functions never see which one runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nb/basetypes.h"
#include "nb/protocol/protocol.h"
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

  // The machine's volumes: every one it keeps (the drive table of this process comes from
  // the present ones), and their administration (root only; see protocol.h).
  [[nodiscard]] virtual NTSTATUS QueryVolumes(std::vector<protocol::VolumeEntry>* volumes) {
    (void)volumes;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS AddVolume(const protocol::AddVolumeRequest& request, ULONG* serial) {
    (void)request, (void)serial;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS EjectVolume(uint8_t letter) {
    (void)letter;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS InsertVolume(const protocol::InsertVolumeRequest& request,
                                              protocol::InsertVolumeReply* reply) {
    (void)request, (void)reply;
    return STATUS_NOT_SUPPORTED;
  }

  // Files and folders of volumes, opened by object name ("\DosDevices\X:\dir\file") and
  // closed with CloseObject (IRP_MJ_CLEANUP and IRP_MJ_CLOSE). `information` gets what the
  // create did (FILE_OPENED, FILE_CREATED ...). Offsets are 0 or more, or kAtFilePointer.
  // A read or write of any length is carried in as many requests as it needs; the
  // transferred count is what all of them moved, and a read that meets the end after some
  // data succeeds with the data.
  static constexpr LONGLONG kAtFilePointer = -2;
  [[nodiscard]] virtual NTSTATUS CreateFileObject(const ObjectOpen& open, TransportObject* object,
                                                  ULONG* information) {
    (void)open, (void)object, (void)information;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS ReadFileData(TransportObject object, LONGLONG offset, void* buffer, ULONG length,
                                              ULONG* transferred) {
    (void)object, (void)offset, (void)buffer, (void)length, (void)transferred;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS WriteFileData(TransportObject object, LONGLONG offset, const void* buffer,
                                               ULONG length, ULONG* transferred) {
    (void)object, (void)offset, (void)buffer, (void)length, (void)transferred;
    return STATUS_NOT_SUPPORTED;
  }
  // A FILE_INFORMATION_CLASS record; `returned` gets the byte count written.
  [[nodiscard]] virtual NTSTATUS QueryFileInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                      ULONG length, ULONG* returned) {
    (void)object, (void)informationClass, (void)buffer, (void)length, (void)returned;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS SetFileInformation(TransportObject object, ULONG informationClass,
                                                    const void* buffer, ULONG length) {
    (void)object, (void)informationClass, (void)buffer, (void)length;
    return STATUS_NOT_SUPPORTED;
  }
  // Moves the file to `newName`, a path from the root of its volume.
  [[nodiscard]] virtual NTSTATUS RenameFileObject(TransportObject object, const std::u16string& newName,
                                                  bool replaceIfExists) {
    (void)object, (void)newName, (void)replaceIfExists;
    return STATUS_NOT_SUPPORTED;
  }
  // Directory records of a FILE_INFORMATION_CLASS; an empty pattern sends none.
  [[nodiscard]] virtual NTSTATUS QueryDirectoryFile(TransportObject object, ULONG informationClass,
                                                    const std::u16string& pattern, bool restartScan, void* buffer,
                                                    ULONG length, ULONG* returned) {
    (void)object, (void)informationClass, (void)pattern, (void)restartScan, (void)buffer, (void)length,
        (void)returned;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS FlushFileObject(TransportObject object) {
    (void)object;
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
  // The service manager (winsvc.h): its handles close with CloseObject. The request's
  // `manager` field is taken from `manager`.
  [[nodiscard]] virtual NTSTATUS OpenServiceManager(ACCESS_MASK desiredAccess, TransportObject* manager) {
    (void)desiredAccess, (void)manager;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS CreateServiceObject(TransportObject manager, const protocol::CreateServiceRequest& request,
                                                     TransportObject* service) {
    (void)manager, (void)request, (void)service;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS OpenServiceObject(TransportObject manager, const std::u16string& name,
                                                   ACCESS_MASK desiredAccess, TransportObject* service) {
    (void)manager, (void)name, (void)desiredAccess, (void)service;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS DeleteServiceObject(TransportObject service) {
    (void)service;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS StartServiceObject(TransportObject service, const std::vector<std::u16string>& arguments) {
    (void)service, (void)arguments;
    return STATUS_NOT_SUPPORTED;
  }
  // `status` is filled also when the control fails (the status then current).
  [[nodiscard]] virtual NTSTATUS ControlServiceObject(TransportObject service, ULONG control,
                                                      protocol::ServiceStatusRecord* status) {
    (void)service, (void)control, (void)status;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS QueryServiceObject(TransportObject service, protocol::ServiceStatusRecord* status) {
    (void)service, (void)status;
    return STATUS_NOT_SUPPORTED;
  }
  // The dispatcher of a service program, in the calling process (protocol.h).
  [[nodiscard]] virtual NTSTATUS ConnectServiceDispatcher(const std::vector<std::u16string>& names, std::u16string* name) {
    (void)names, (void)name;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS WaitServiceControl(const protocol::WaitServiceControlRequest& request,
                                                    protocol::WaitServiceControlReply* reply) {
    (void)request, (void)reply;
    return STATUS_NOT_SUPPORTED;
  }
  [[nodiscard]] virtual NTSTATUS ReportServiceStatus(const std::u16string& name, const protocol::ServiceStatusRecord& status) {
    (void)name, (void)status;
    return STATUS_NOT_SUPPORTED;
  }
  // The body of a thread this library starts for its caller (a service's ServiceMain),
  // made to act as the calling thread does on the machine: as the same simulated process
  // of an in-process machine; over the socket it is the body itself.
  virtual std::function<void()> BindThread(std::function<void()> body) const { return body; }
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
