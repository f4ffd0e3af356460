// Executive services: pool memory and reader/writer resources.
#pragma once

#include "nb/basetypes.h"
#include "nt/rtl.h"

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

// Allocations are zero-filled; NULL when the pool is exhausted (or a test injects a failure).
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
VOID ExFreePool(PVOID p);
VOID ExFreePoolWithTag(PVOID p, ULONG tag);

namespace nb::kernel {
class Resource;
}

// A reader/writer lock that allows recursive acquisition by its owner, as on Windows.
typedef struct _ERESOURCE {
  nb::kernel::Resource* Impl;
} ERESOURCE, *PERESOURCE;

NTSTATUS ExInitializeResourceLite(PERESOURCE resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE resource);
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait);
VOID ExReleaseResourceLite(PERESOURCE resource);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource);  // shared or exclusive count

// Rundown protection: many holders may use an object until its owner runs it down;
// from then on acquisitions fail, and the owner waits for the holders to leave.
typedef struct _EX_RUNDOWN_REF {
  ULONG_PTR Count;  // holders times two; bit 0 set once the rundown has begun
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
// Makes a completed rundown usable again (no holders, not running down).
VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
// FALSE once the rundown has begun.
BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef);
VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef);
// Begins the rundown and returns when the last holder has released it.
VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef);
// Marks a rundown complete without waiting (no holder remains); acquisitions keep failing.
VOID ExRundownCompleted(PEX_RUNDOWN_REF runRef);

VOID KeEnterCriticalRegion();
VOID KeLeaveCriticalRegion();
BOOLEAN KeAreApcsDisabled();

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime);
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime);
