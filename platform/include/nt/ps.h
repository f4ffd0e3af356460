// Processes and threads as the kernel sees them.
#pragma once

#include "nb/basetypes.h"

// A process object is an opaque byte blob; the image name sits at an offset that
// drivers find by scanning for "System" in the System process.
typedef struct _EPROCESS* PEPROCESS;
typedef struct _ETHREAD* PETHREAD;
typedef struct _KTHREAD* PKTHREAD;

PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
HANDLE PsGetCurrentProcessId();
HANDLE PsGetCurrentThreadId();
HANDLE PsGetProcessId(PEPROCESS process);

typedef CHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode 1
