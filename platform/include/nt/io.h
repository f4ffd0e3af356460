// I/O manager: drivers, devices, file objects and I/O request packets.
#pragma once

#include "nb/basetypes.h"
#include "nt/ex.h"
#include "nt/ps.h"
#include "nt/rtl.h"

typedef SHORT CSHORT;

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _FAST_IO_DISPATCH;  // nt/fastio.h
struct _KEVENT;
typedef struct _KEVENT* PKEVENT;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT* driverObject, PUNICODE_STRING registryPath);
typedef VOID (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* driverObject);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp, PVOID context);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_QUERY_DIRECTORY 0x01
#define IRP_MN_NOTIFY_CHANGE_DIRECTORY 0x02
#define IRP_MN_USER_FS_REQUEST 0x00
#define IRP_MN_MOUNT_VOLUME 0x01
#define IRP_MN_VERIFY_VOLUME 0x02
#define IRP_MN_LOAD_FILE_SYSTEM 0x03
// IRP_MJ_PNP: the medium under a volume is gone; its file system dismounts it.
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IO_NO_INCREMENT 0

// Device object flags.
#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080

// Device characteristics.
#define FILE_REMOVABLE_MEDIA 0x00000001

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;  // the driver's devices, newest first
  ULONG Flags;
  UNICODE_STRING DriverName;
  struct _FAST_IO_DISPATCH* FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
  PVOID DriverSection;  // platform: the loaded image of a driver loaded from its file
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// Volume parameter block: ties a storage device to the file system volume mounted on it.
#define VPB_MOUNTED 0x0001
#define MAXIMUM_VOLUME_LABEL_LENGTH (32 * sizeof(WCHAR))
typedef struct _VPB {
  CSHORT Type;
  CSHORT Size;
  USHORT Flags;
  USHORT VolumeLabelLength;
  struct _DEVICE_OBJECT* DeviceObject;  // the file system's volume device
  struct _DEVICE_OBJECT* RealDevice;    // the storage device
  ULONG SerialNumber;
  ULONG ReferenceCount;
  WCHAR VolumeLabel[MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR)];
} VPB, *PVPB;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;      // next device of the same driver
  struct _DEVICE_OBJECT* AttachedDevice;  // the device attached directly above
  struct _IRP* CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVPB Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CHAR StackSize;
  ULONG AlignmentRequirement;
  // Platform bookkeeping: the device this one is attached to, its object name, and
  // whether IoDeleteDevice has run (DOE_DELETE_PENDING on Windows).
  struct _DEVICE_OBJECT* AttachedTo;
  UNICODE_STRING Name;
  BOOLEAN DeletePending;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// File object flags.
#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_VOLUME_OPEN 0x00400000
#define FO_CLEANUP_COMPLETE 0x00004000
#define FO_DIRECTORY_FILE 0x00100000  // platform: opened as a directory
// Platform: set during a create by a filter whose verdict on the file's path could differ
// from one caller to another (a path it governs by who asks). A file object without it
// got the answer every caller gets, so a front end may let the host keep that answer for
// everyone. Contract for filters: one that judges a path by its caller must set this flag
// in that path's creates, and must call IoNotifyVolumePolicyChange whenever the set of
// such paths on its volume changes.
#define FO_CALLER_DEPENDENT 0x40000000

typedef struct _SECTION_OBJECT_POINTERS {
  PVOID DataSectionObject;
  PVOID SharedCacheMap;
  PVOID ImageSectionObject;
} SECTION_OBJECT_POINTERS, *PSECTION_OBJECT_POINTERS;

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVPB Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PSECTION_OBJECT_POINTERS SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
} FILE_OBJECT, *PFILE_OBJECT;

typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation = 2,
  FileBothDirectoryInformation = 3,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileEaInformation = 7,
  FileAccessInformation = 8,
  FileNameInformation = 9,
  FileRenameInformation = 10,
  FileLinkInformation = 11,
  FileNamesInformation = 12,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileFullEaInformation = 15,
  FileModeInformation = 16,
  FileAlignmentInformation = 17,
  FileAllInformation = 18,
  FileAllocationInformation = 19,
  FileEndOfFileInformation = 20,
  FileAlternateNameInformation = 21,
  FileStreamInformation = 22,
  FileNetworkOpenInformation = 34,
  FileAttributeTagInformation = 35,
  FileIdBothDirectoryInformation = 37,
  FileIdFullDirectoryInformation = 38,
  FileDispositionInformationEx = 64,
  FileStatLxInformation = 70,
  FileMaximumInformation
} FILE_INFORMATION_CLASS, *PFILE_INFORMATION_CLASS;

typedef enum _FS_INFORMATION_CLASS {
  FileFsVolumeInformation = 1,
  FileFsSizeInformation = 3,
  FileFsDeviceInformation = 4,
  FileFsAttributeInformation = 5,
  FileFsMaximumInformation
} FS_INFORMATION_CLASS, *PFS_INFORMATION_CLASS;

typedef ULONG SECURITY_INFORMATION;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID PACCESS_TOKEN;

typedef struct _SECURITY_SUBJECT_CONTEXT {
  PACCESS_TOKEN ClientToken;
  ULONG ImpersonationLevel;
  PACCESS_TOKEN PrimaryToken;
  PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

typedef struct _ACCESS_STATE {
  ACCESS_MASK RemainingDesiredAccess;
  ACCESS_MASK PreviouslyGrantedAccess;
  ACCESS_MASK OriginalDesiredAccess;
  SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
} ACCESS_STATE, *PACCESS_STATE;

typedef struct _IO_SECURITY_CONTEXT {
  PVOID SecurityQos;
  PACCESS_STATE AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

// Control bits of a stack location.
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// Flags of a stack location.
#define SL_RESTART_SCAN 0x01
#define SL_RETURN_SINGLE_ENTRY 0x02
#define SL_INDEX_SPECIFIED 0x04
#define SL_OPEN_TARGET_DIRECTORY 0x04
#define SL_CASE_SENSITIVE 0x80

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
      ULONG Options;  // create disposition in the top 8 bits, create options below
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG Length;
      PUNICODE_STRING FileName;
      FILE_INFORMATION_CLASS FileInformationClass;
      ULONG FileIndex;
    } QueryDirectory;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS FileInformationClass;
    } QueryFile;
    struct {
      ULONG Length;
      FILE_INFORMATION_CLASS FileInformationClass;
      struct _FILE_OBJECT* FileObject;
      union {
        struct {
          BOOLEAN ReplaceIfExists;
          BOOLEAN AdvanceOnly;
        };
        ULONG ClusterCount;
        HANDLE DeleteHandle;
      };
    } SetFile;
    struct {
      ULONG Length;
      FS_INFORMATION_CLASS FsInformationClass;
    } QueryVolume;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG FsControlCode;
      PVOID Type3InputBuffer;
    } FileSystemControl;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      SECURITY_INFORMATION SecurityInformation;
      ULONG Length;
    } QuerySecurity;
    struct {
      SECURITY_INFORMATION SecurityInformation;
      PSECURITY_DESCRIPTOR SecurityDescriptor;
    } SetSecurity;
    struct {
      PVPB Vpb;
      struct _DEVICE_OBJECT* DeviceObject;
    } MountVolume;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

namespace nb::kernel {
struct IrpWaiter;
}

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver
  BOOLEAN Cancel;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID UserBuffer;
  struct {
    struct {
      PETHREAD Thread;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
  nb::kernel::IrpWaiter* Waiter;  // platform: wakes the originator on completion
  IO_STACK_LOCATION* Stack;       // platform: StackCount locations
} IRP, *PIRP;

#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
  return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// Device objects are reference counted (ObReferenceObject): IoCreateDevice gives the
// creation reference, IoDeleteDevice marks the device delete-pending (no new opens or
// attachments), detaches what is above it and drops that reference; the device and its
// extension are freed with the last one. IoCallDriver holds a reference for the call, and
// a device holds one on the device it is attached to.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        ULONG deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);
NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
VOID IoCompleteRequest(PIRP irp, CHAR priorityBoost);
PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
VOID IoFreeIrp(PIRP irp);
// NULL when the top of the target's stack is being deleted.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice);
VOID IoDetachDevice(PDEVICE_OBJECT targetDevice);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject);
// The top of the device's stack, referenced; the caller dereferences it.
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject);
// The device this one is attached to, referenced, or NULL when it is attached to none.
PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT deviceObject);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT fileObject);

// Platform: the "policy changed" notice of a volume. Whoever keeps answers of a volume's
// device stack for later (a front end that lets the host cache entries) registers a
// callback for the volume; a filter of that volume calls IoNotifyVolumePolicyChange with
// any device of the stack (its own filter device) after the set of paths it judges by
// caller changed, once it holds none of its own locks. Devices are resolved to the base
// of their stack, the file system's volume device. Callbacks run synchronously, in the
// notifier's thread and process, and the notice returns after all of them.
// IoUnregisterVolumePolicyCallback waits for a call of the callback that is running, so
// its context may be freed afterwards; it must not be called from the callback itself.
typedef VOID (*PIO_VOLUME_POLICY_CALLBACK)(PDEVICE_OBJECT volumeDevice, PVOID context);
NTSTATUS IoRegisterVolumePolicyCallback(PDEVICE_OBJECT deviceObject, PIO_VOLUME_POLICY_CALLBACK callback,
                                        PVOID context, PVOID* registration);
VOID IoUnregisterVolumePolicyCallback(PVOID registration);
VOID IoNotifyVolumePolicyChange(PDEVICE_OBJECT deviceObject);


// File systems announce their control devices; a filter that wants to attach to them
// registers a routine, called with TRUE for every file system registered (including those
// registered before the routine) and with FALSE when one unregisters.
typedef VOID (*PDRIVER_FS_NOTIFICATION)(PDEVICE_OBJECT deviceObject, BOOLEAN fsActive);
VOID IoRegisterFileSystem(PDEVICE_OBJECT deviceObject);
VOID IoUnregisterFileSystem(PDEVICE_OBJECT deviceObject);
NTSTATUS IoRegisterFsRegistrationChange(PDRIVER_OBJECT driverObject, PDRIVER_FS_NOTIFICATION driverNotificationRoutine);
VOID IoUnregisterFsRegistrationChange(PDRIVER_OBJECT driverObject, PDRIVER_FS_NOTIFICATION driverNotificationRoutine);
