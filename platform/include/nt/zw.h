// Kernel-mode system services on handles: opening files and devices by object name.
#pragma once

#include "nb/basetypes.h"
#include "nt/io.h"
#include "nt/rtl.h"

// Object attributes of an open.
#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;  // an open file the name is relative to, or NULL
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = nullptr;      \
  } while (0)

// Opens or creates the file or device the attributes name (IRP_MJ_CREATE through its
// device stack) and returns a handle to its file object: a kernel handle with
// OBJ_KERNEL_HANDLE, otherwise one of the current process. Without OBJ_CASE_INSENSITIVE
// the file system is asked to compare names exactly. The status block gets the status
// and what the create did (FILE_OPENED ...).
NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                      ULONG eaLength);
// Closes a handle; the last handle of a file object sends IRP_MJ_CLEANUP, the last
// reference IRP_MJ_CLOSE.
NTSTATUS ZwClose(HANDLE handle);
