// hostfs's devices, volumes and open files, and the helpers its dispatch routines share.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <ntifs.h>
#include <sys/types.h>

#include "nb/hostfs/hostfs.h"

namespace nb::hostfs {

struct HostVolume;

// The extension of every hostfs device.
enum class DeviceKind : ULONG { kControl = 1, kVolume = 2 };
struct DeviceExtension {
  DeviceKind kind;
  HostVolume* volume;  // volume devices only
  // Volume devices: held by every request inside hostfs, run down by the dismount before
  // it frees the volume.
  EX_RUNDOWN_REF rundown;
};

// One name of a directory listing: as shown, and as the host spells it.
struct ListedName {
  std::u16string name;
  std::string hostName;  // empty for "." and ".."
};

// Where a listing on one file object stands between queries.
struct DirectoryScan {
  bool started = false;
  bool firstQueryDone = false;
  std::u16string pattern;
  std::vector<ListedName> names;  // ".", "..", then the children in name order
  size_t next = 0;                // index of the next name to consider
};

// The FsContext of every file object that hostfs opened.
struct HostFile {
  HostVolume* volume = nullptr;
  PFILE_OBJECT fileObject = nullptr;
  int fd = -1;  // a data descriptor when data access was granted, O_PATH otherwise
  dev_t device = 0;
  ino_t inode = 0;
  bool volumeOpen = false;
  bool directory = false;
  bool canRead = false;
  bool canWrite = false;
  bool canWriteAttributes = false;
  bool canDelete = false;
  bool deleteOnClose = false;
  // Guarded by the volume's filesMutex: the path changes when this file or one of its
  // ancestors is renamed; delete-pending is shared by every open of the same file.
  // Empty once the name went while the file stayed open (a POSIX delete, or a rename
  // that replaced it): nothing is opened, renamed or deleted by it any more.
  std::u16string path;  // from the volume root, "\" for the root
  bool deletePending = false;
  bool cleanedUp = false;
  // Guards the scan and the use of the file position.
  std::mutex mutex;
  DirectoryScan scan;
};

struct HostVolume {
  PDEVICE_OBJECT device = nullptr;   // the volume device
  PDEVICE_OBJECT storage = nullptr;  // the storage device it is mounted on
  PVPB vpb = nullptr;
  int rootFd = -1;  // the backing folder, opened for reading
  // Guards `files` and the shared fields of each HostFile (lock order: a HostFile's
  // mutex before this one).
  std::mutex filesMutex;
  std::set<HostFile*> files;
};

// Completes a request with a status and a byte count; the one way requests end in hostfs.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// The volume a device serves, or null for a control device.
HostVolume* VolumeOf(PDEVICE_OBJECT device);
// The open file behind a file object of `volume`, or null when it is not one of ours.
HostFile* FindFile(HostVolume* volume, PFILE_OBJECT fileObject);
// A copy of a file's current path; empty for a file whose name went.
std::u16string PathOf(HostFile* file);
// Marks every open of `path` that stands for the file (device, inode) as nameless: the name
// no longer leads to it. filesMutex held.
void ForgetName(HostVolume* volume, dev_t device, ino_t inode, const std::u16string& path);

// Mounts the storage device's backing folder as a new volume device and records it in
// the VPB; the one mount step, run for IRP_MN_MOUNT_VOLUME on a control device.
[[nodiscard]] NTSTATUS MountVolume(PDEVICE_OBJECT controlDevice, PVPB vpb, PDEVICE_OBJECT storage);
// Clears the volume's VPB, waits for the requests inside hostfs to leave, closes every
// open file and deletes the device. Not for a request on the volume itself to call.
void DismountVolume(HostVolume* volume);
// Frees an open file's context and its descriptor (the volume lock must not be held).
// `detach` also clears the file object's pointers to it: only while the file object is
// known to exist, that is from the file's own requests.
void FreeFile(HostFile* file, bool detach = true);

// The directory holding one name below the backing folder (O_PATH) and the name's last
// component in the host's spelling.
struct NameAt {
  NameAt() = default;
  NameAt(const NameAt&) = delete;
  NameAt& operator=(const NameAt&) = delete;
  ~NameAt();
  int parentFd = -1;
  std::string leaf;
};
struct ParsedPath;
// Opens the directory of a path's last component (a path of at least one component).
[[nodiscard]] NTSTATUS OpenNameAt(HostVolume* volume, const ParsedPath& path, NameAt* name);
// The same for an open file's current name, checked to still name that file; with the
// volume's filesMutex held, so that no rename moves the name meanwhile.
[[nodiscard]] NTSTATUS OpenOwnName(HostFile* file, NameAt* name);

// A name no one else uses, for an object made beside `leaf` and then renamed over it.
std::string TemporaryName(const std::string& leaf);

// Data transfer of an open file at an offset (or at its position, or its end for a
// write), keeping the position of the file object; shared by the IRPs and fast I/O.
[[nodiscard]] NTSTATUS ReadData(HostFile* file, PFILE_OBJECT fileObject, void* buffer, ULONG length,
                                const LARGE_INTEGER& offset, ULONG* done);
[[nodiscard]] NTSTATUS WriteData(HostFile* file, PFILE_OBJECT fileObject, const void* buffer, ULONG length,
                                 const LARGE_INTEGER& offset, ULONG* done);
// The fast I/O routines: cached reads and writes without an IRP.
void FillFastIoDispatch(PFAST_IO_DISPATCH table);

// Holds a volume device's rundown protection for a request; not held on a control device
// or once the dismount has begun.
class VolumeRequest {
 public:
  explicit VolumeRequest(PDEVICE_OBJECT device);
  ~VolumeRequest();
  VolumeRequest(const VolumeRequest&) = delete;
  VolumeRequest& operator=(const VolumeRequest&) = delete;
  // The volume is being dismounted: the request finds it gone.
  bool Gone() const { return gone_; }

 private:
  DeviceExtension* extension_;
  bool held_ = false;
  bool gone_ = false;
};

// Dispatch routines, one file per request family.
NTSTATUS HostCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFlushBuffers(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostQueryInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostSetInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostDirectoryControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostQuerySecurity(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostSetSecurity(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFileSystemControl(PDEVICE_OBJECT device, PIRP irp);
// Symbolic links: the reparse-point requests of IRP_MN_USER_FS_REQUEST on a volume.
bool IsReparseRequest(ULONG code);
NTSTATUS HostReparseRequest(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostPnp(PDEVICE_OBJECT device, PIRP irp);

}  // namespace nb::hostfs
