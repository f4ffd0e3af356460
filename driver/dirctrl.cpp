// IRP_MJ_DIRECTORY_CONTROL: hidden folders vanish from the listings of their parent, and
// a query for a hidden folder's own name finds nothing.
#include "driver.h"
#include "listing_filter.h"
#include "log.h"
#include "name_cache.h"
#include "nb/resource_guard.h"
#include "path_rules.h"
#include "volume_guard.h"

namespace {

constexpr ULONG kContextTag = 'xDbN';

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

// Edits the returned records of one directory class; the file system completed the
// request. The context is the directory path, in a buffer this routine frees.
template <FILE_INFORMATION_CLASS Class>
NTSTATUS dirComp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* directory = static_cast<WCHAR*>(context);
  if (NT_SUCCESS(irp->IoStatus.Status) && irp->UserBuffer) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDirectory.Length;
    ULONG units = 0;
    while (units < LISTING_PATH_BYTES / sizeof(WCHAR) && directory[units]) ++units;
    FilterDirectoryListing(irp->UserBuffer, length, Class, directory, units * sizeof(WCHAR), IsHiddenChild,
                           VolumeOf(device));
  }
  ExFreePoolWithTag(context, kContextTag);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

PIO_COMPLETION_ROUTINE CompletionFor(FILE_INFORMATION_CLASS cls) {
  switch (cls) {
    case FileDirectoryInformation:
      return dirComp<FileDirectoryInformation>;
    case FileFullDirectoryInformation:
      return dirComp<FileFullDirectoryInformation>;
    case FileBothDirectoryInformation:
      return dirComp<FileBothDirectoryInformation>;
    case FileNamesInformation:
      return dirComp<FileNamesInformation>;
    case FileIdBothDirectoryInformation:
      return dirComp<FileIdBothDirectoryInformation>;
    case FileIdFullDirectoryInformation:
      return dirComp<FileIdFullDirectoryInformation>;
    default:
      return nullptr;
  }
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
  if (IsControlDevice(device)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
  VolumeGuard guard(device, irp);
  if (!guard) return guard.Decline(irp);
  VolumeRecord* volume = VolumeOf(device);
  if (!volume->attached) {
    nbfsLog(LOG_NOTICE, "nbfsDir: not Attached yet\n");
    return PassOn(volume, irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!volume->active || !stack->FileObject) return PassOn(volume, irp);
  CachedName directory(stack->FileObject);
  if (!directory.Found() || stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return PassOn(volume, irp);
  PIO_COMPLETION_ROUTINE completion = CompletionFor(stack->Parameters.QueryDirectory.FileInformationClass);
  if (!completion || directory.Length() == 0) return PassOn(volume, irp);

  switch (FindHiddenChildren(volume, directory, stack->Parameters.QueryDirectory.FileName)) {
    case HiddenChildren::kNone:
      return PassOn(volume, irp);
    case HiddenChildren::kQueriedByName:
      return CompleteRequest(irp, STATUS_NO_SUCH_FILE, 0);
    case HiddenChildren::kNoMemory:
      return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    case HiddenChildren::kSome:
      break;
  }
  // The directory path travels to the completion in a zeroed work buffer.
  auto* context = static_cast<WCHAR*>(ExAllocatePoolWithTag(NonPagedPool, LISTING_PATH_BYTES, kContextTag));
  if (!context) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG copied = directory.Length() < LISTING_PATH_BYTES - sizeof(WCHAR) ? directory.Length()
                                                                         : LISTING_PATH_BYTES - sizeof(WCHAR);
  RtlCopyMemory(context, directory.Name(), copied);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
  return IoCallDriver(volume->lower, irp);
}
