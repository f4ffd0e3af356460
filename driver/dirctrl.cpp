// IRP_MJ_DIRECTORY_CONTROL: hidden folders vanish from the listings of their parent, and
// a query for a hidden folder's own name finds nothing. Listings of a directory with
// hidden children are waited for and edited before they complete; all others pass on.
#include "filtered_request.h"
#include "listing_filter.h"
#include "nb/resource_guard.h"
#include "path_rules.h"

namespace {

bool IsHiddenEntry(const LockEntry* entry) {
  return (entry->flags & NBFS_LOCK_NOACCESS) && !(entry->pause & ENTRY_PAUSE);
}

// A child path is hidden when it is the folder of an unpaused no-access entry.
bool IsHiddenChild(void* context, const WCHAR* path, ULONG length) {
  auto* volume = static_cast<VolumeRecord*>(context);
  nb::SharedLock guard(volume->lock);
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (IsHiddenEntry(entry) && PathEqual(entry->path, entry->pathLength, path, length)) return true;
  }
  return false;
}

// The listed directory, for the question whether a cut-short record may be hidden.
struct ListedDirectory {
  VolumeRecord* volume;
  const CachedName* path;
};

bool MayBeHiddenChild(void* context, const WCHAR* prefix, ULONG prefixLength, ULONG nameLength) {
  auto* directory = static_cast<ListedDirectory*>(context);
  nb::SharedLock guard(directory->volume->lock);
  for (LIST_ENTRY* link = directory->volume->entries.Flink; link != &directory->volume->entries;
       link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (IsHiddenEntry(entry) &&
        PathEqual(entry->parent, entry->parentLength, directory->path->Name(), directory->path->Length()) &&
        entry->leafLength == nameLength && PathEqual(entry->leaf, prefixLength, prefix, prefixLength)) {
      return true;
    }
  }
  return false;
}

// Completion of a query the filter waits for; the file system completed it and the
// dispatch routine takes the request back.
NTSTATUS queryDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) KeSetEvent(static_cast<PRKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the query below with the given scan flags and index and waits for its answer.
[[nodiscard]] NTSTATUS QueryBelow(VolumeRecord* volume, PIRP irp, UCHAR flags, ULONG fileIndex) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Flags = flags;
  next->Parameters.QueryDirectory.FileIndex = fileIndex;
  IoSetCompletionRoutine(irp, queryDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(volume->lower, irp) == STATUS_PENDING) {
    (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

// Lists a directory with hidden children and completes the request. The records that
// come back are edited; a first record cut short for a small buffer that may be a hidden
// child is wiped and the query asked again from the entry after it, so that no buffer
// size shows any of a hidden name.
[[nodiscard]] NTSTATUS QueryHidingChildren(const FilteredRequest& request, const CachedName& directory) {
  PIRP irp = request.Irp();
  PIO_STACK_LOCATION stack = request.Stack();
  const ULONG informationClass = stack->Parameters.QueryDirectory.FileInformationClass;
  const ULONG length = stack->Parameters.QueryDirectory.Length;
  ListedDirectory listed{request.Volume(), &directory};
  UCHAR flags = stack->Flags;
  ULONG fileIndex = stack->Parameters.QueryDirectory.FileIndex;
  bool skipped = false;
  NTSTATUS status;
  for (;;) {
    status = QueryBelow(request.Volume(), irp, flags, fileIndex);
    ULONG cutIndex;
    if (status != STATUS_BUFFER_OVERFLOW ||
        !TruncatedRecordMayBeHidden(irp->UserBuffer, length, informationClass, MayBeHiddenChild, &listed, &cutIndex)) {
      break;
    }
    if (skipped && cutIndex == fileIndex) {
      // The file system does not move past the record: there is nothing more to show.
      status = STATUS_NO_MORE_FILES;
      irp->IoStatus.Information = 0;
      break;
    }
    skipped = true;
    flags = static_cast<UCHAR>((flags & ~SL_RESTART_SCAN) | SL_INDEX_SPECIFIED);
    fileIndex = cutIndex;
  }
  if (NT_SUCCESS(status) && irp->UserBuffer) {
    FilterDirectoryListing(irp->UserBuffer, length, informationClass, directory.Name(), directory.Length(),
                           IsHiddenChild, request.Volume());
  }
  return CompleteRequest(irp, status, irp->IoStatus.Information);
}

enum class HiddenChildren { kNone, kSome, kQueriedByName, kNoMemory };

// Looks for hidden children of the directory and for a query that names one of them.
HiddenChildren FindHiddenChildren(VolumeRecord* volume, const CachedName& directory, PUNICODE_STRING pattern) {
  HiddenChildren found = HiddenChildren::kNone;
  nb::SharedLock guard(volume->lock);
  for (LIST_ENTRY* link = volume->entries.Flink; link != &volume->entries; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LockEntry, link);
    if (!IsHiddenEntry(entry) ||
        !PathEqual(entry->parent, entry->parentLength, directory.Name(), directory.Length())) {
      continue;
    }
    bool named = false;
    NTSTATUS status = QueryNamesHiddenChild(directory.Name(), directory.Length(),
                                            pattern ? pattern->Buffer : nullptr, pattern ? pattern->Length : 0,
                                            entry->path, entry->pathLength, &named);
    if (!NT_SUCCESS(status)) {
      nbfsLog(LOG_ERROR, "checkHidden: cannot alloc buf\n");
      return HiddenChildren::kNoMemory;
    }
    if (named) return HiddenChildren::kQueriedByName;
    found = HiddenChildren::kSome;
  }
  return found;
}

}  // namespace

NTSTATUS nbfsDir(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsDir: not Attached yet\n");
  if (!request.Checkable() || !request.LookUpName()) return request.Skip();
  PIO_STACK_LOCATION stack = request.Stack();
  const CachedName& directory = request.Name();
  if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return request.PassOn();
  ULONG nameLengthOffset;
  ULONG nameOffset;
  if (!DirectoryClassLayout(stack->Parameters.QueryDirectory.FileInformationClass, &nameLengthOffset, &nameOffset) ||
      directory.Length() == 0) {
    return request.PassOn();
  }

  switch (FindHiddenChildren(request.Volume(), directory, stack->Parameters.QueryDirectory.FileName)) {
    case HiddenChildren::kNone:
      return request.PassOn();
    case HiddenChildren::kQueriedByName:
      return request.Complete(STATUS_NO_SUCH_FILE);
    case HiddenChildren::kNoMemory:
      return request.Complete(STATUS_INSUFFICIENT_RESOURCES);
    case HiddenChildren::kSome:
      break;
  }
  return QueryHidingChildren(request, directory);
}
