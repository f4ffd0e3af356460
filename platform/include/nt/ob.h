// Object manager: reference counts of kernel objects and handles to them.
#pragma once

#include "nb/basetypes.h"
#include "nt/io.h"

// Works on every counted object: events, file objects and device objects.
VOID ObReferenceObject(PVOID object);
// Drops a reference; the object is destroyed with the last one (a file object is closed,
// a deleted device and its extension are freed).
VOID ObDereferenceObject(PVOID object);

// Opens the named device and returns a referenced file object on it and the device at
// the top of its stack.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK desiredAccess, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* deviceObject);

// Object types, for checking what a handle refers to.
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* ExMutantObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// References the object behind a handle of the current process (a kernel handle only
// with KernelMode). STATUS_INVALID_HANDLE when the handle is not open there,
// STATUS_OBJECT_TYPE_MISMATCH when objectType is given and differs, STATUS_ACCESS_DENIED
// when a UserMode caller's handle lacks desiredAccess. The caller dereferences the object.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation);
