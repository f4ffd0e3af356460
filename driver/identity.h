// Who is calling: the current process's image name and id, found through the offset of
// the image name inside the process object.
#pragma once

#include <ntifs.h>

#include "nbfsctl.h"

// Scans the first 0x3000 bytes of the current (System) process object for "System" and
// remembers the offset and the System process id. Called once at load.
void FindProcessNameOffset();
// Forgets the offset again (driver unload).
void ForgetProcessNameOffset();

bool ProcessNameOffsetKnown();
ULONG SystemProcessId();

// The caller's image name (NUL-terminated, at most 15 characters) and id. Without a known
// name offset the name is empty and the id 0; returns whether the offset is known.
bool CallerIdentity(CHAR (&name)[NBFS_PROC_NAME_BYTES], ULONG* id);
