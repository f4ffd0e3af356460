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

VOID KeEnterCriticalRegion();
VOID KeLeaveCriticalRegion();
BOOLEAN KeAreApcsDisabled();

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime);
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime);
