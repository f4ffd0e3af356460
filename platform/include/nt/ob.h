// Object manager: reference counts of kernel objects.
#pragma once

#include "nb/basetypes.h"
#include "nt/io.h"

VOID ObReferenceObject(PVOID object);
// Drops a reference; the object is destroyed with the last one (a file object is closed).
VOID ObDereferenceObject(PVOID object);

// Opens the named device and returns a referenced file object on it and the device at
// the top of its stack.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK desiredAccess, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* deviceObject);
