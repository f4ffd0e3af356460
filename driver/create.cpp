// IRP_MJ_CREATE: opens on a locked folder are refused or passed on; a successful open's
// name is recorded for the requests that follow on its file object.
#include "filtered_request.h"

namespace {

constexpr ULONG kPathTag = 'pFbN';
constexpr ULONG kMaxFullPathBytes = 1024;
// FILE_DELETE_ON_CLOSE, and bit 1 of the disposition (FILE_CREATE, FILE_OPEN_IF).
constexpr ULONG kWritingCreateOptions = 0x02001000;
constexpr ACCESS_MASK kWritingAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD;

constexpr VerdictLog kCreateLog{nullptr, LOG_ERROR, "nbfsCreate: NO ACCESS: access denied\n",
                                "nbfsCreate: READONLY: write-open denied\n", LOG_ERROR};

// The path a create names, joined to its related file object's name when relative.
// Handed to the completion step, which records it and frees it.
struct CreateContext {
  ULONG length;  // bytes
  WCHAR path[1];
};

UNICODE_STRING RelatedName(PFILE_OBJECT file) {
  UNICODE_STRING empty{};
  return file->RelatedFileObject ? file->RelatedFileObject->FileName : empty;
}

// Builds the related name, a "\" unless it already ends with one, and the name.
NTSTATUS GetFullPath(PFILE_OBJECT file, CreateContext** context) {
  UNICODE_STRING related = RelatedName(file);
  ULONG relatedUnits = related.Length / sizeof(WCHAR);
  bool separator = related.Buffer[relatedUnits - 1] != u'\\';
  ULONG length = related.Length + (separator ? sizeof(WCHAR) : 0) + file->FileName.Length;
  if (length > kMaxFullPathBytes) {
    nbfsLog(LOG_ERROR, "GetFullPath: path length is too large(%d)\n", length);
    return STATUS_UNSUCCESSFUL;
  }
  auto* built = static_cast<CreateContext*>(
      ExAllocatePoolWithTag(NonPagedPool, offsetof(CreateContext, path) + length + sizeof(WCHAR), kPathTag));
  if (!built) {
    nbfsLog(LOG_ERROR, "GetFullPath: cannot alloc buf\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* at = reinterpret_cast<UCHAR*>(built->path);
  RtlCopyMemory(at, related.Buffer, related.Length);
  at += related.Length;
  if (separator) {
    const WCHAR backslash = u'\\';
    RtlCopyMemory(at, &backslash, sizeof backslash);
    at += sizeof backslash;
  }
  RtlCopyMemory(at, file->FileName.Buffer, file->FileName.Length);
  built->length = length;
  *context = built;
  return STATUS_SUCCESS;
}

// Dispositions that empty or replace an existing file, whatever access the open asks for.
bool ReplacesData(ULONG disposition) {
  return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
}

bool WriteIntent(PIO_STACK_LOCATION stack) {
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
  ULONG options = stack->Parameters.Create.Options;
  return (access & kWritingAccess) || (options & kWritingCreateOptions) || ReplacesData(options >> 24);
}

// Records the opened file object's name: the full path built for a relative open,
// else its own name, else its related file object's; one trailing "\" dropped.
void RecordName(PFILE_OBJECT file, const CreateContext* context) {
  const WCHAR* name;
  ULONG length;
  if (context) {
    name = context->path;
    length = context->length;
  } else if (file->FileName.Length) {
    name = file->FileName.Buffer;
    length = file->FileName.Length;
  } else {
    UNICODE_STRING related = RelatedName(file);
    name = related.Buffer;
    length = related.Length;
  }
  if (!name || length == 0) return;
  if (length > sizeof(WCHAR) && name[length / sizeof(WCHAR) - 1] == u'\\') length -= sizeof(WCHAR);
  if (!NT_SUCCESS(NameCacheRecord(file, name, length))) nbfsLog(LOG_ERROR, "createComp: cannot add hash\n");
}

// Completion of every create that was passed on with it (success, error and cancel).
// The file system completed the request; this only records the name.
NTSTATUS createComp(PDEVICE_OBJECT, PIRP irp, PVOID contextPointer) {
  auto* context = static_cast<CreateContext*>(contextPointer);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (!file) {
    nbfsLog(LOG_ERROR, "createComp: FO is null\n");
  } else if (NT_SUCCESS(irp->IoStatus.Status) && !(stack->Parameters.Create.Options & FILE_OPEN_BY_FILE_ID)) {
    RecordName(file, context);
  }
  if (context) ExFreePoolWithTag(context, kPathTag);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return irp->IoStatus.Status;
}

// A governed path is answered by who asks (trusted or not, network or local, the System
// process): the file object says so, and whoever keeps answers for every caller must not
// keep this one. The same look at the table gives the verdict and the mark.
void MarkIfGoverned(PFILE_OBJECT file, bool governed) {
  if (governed) file->Flags |= FO_CALLER_DEPENDENT;
}

NTSTATUS PassWithCompletion(VolumeRecord* volume, PIRP irp, CreateContext* context) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, createComp, context, TRUE, TRUE, TRUE);
  return IoCallDriver(volume->lower, irp);
}

}  // namespace

NTSTATUS nbfsCreate(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsCreate: not Attached yet\n");
  if (!request.Checkable()) return request.Skip();
  VolumeRecord* volume = request.Volume();
  PFILE_OBJECT file = request.File();

  if (file->FileName.Length == 0) {
    // An open of the volume itself goes on untouched; a relative open of the related
    // directory itself is recorded under that directory's name, unchecked.
    UNICODE_STRING related = RelatedName(file);
    if (related.Length == 0) return request.PassOn();
    MarkIfGoverned(file, IsGoverned(volume, related.Buffer, related.Length));
    return PassWithCompletion(volume, irp, nullptr);
  }

  CreateContext* context = nullptr;
  const WCHAR* path = file->FileName.Buffer;
  ULONG length = file->FileName.Length;
  if (path[0] != u'\\' && RelatedName(file).Length != 0) {
    NTSTATUS status = GetFullPath(file, &context);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    path = context->path;
    length = context->length;
  }

  GoverningLock lock = request.Resolve(path, length);
  MarkIfGoverned(file, lock.governed);
  if (lock.applies && (lock.flags & (NBFS_LOCK_NOACCESS | NBFS_LOCK_READONLY))) {
    AccessInput input{lock.flags, lock.permission, isNetworkCaller(), false, WriteIntent(request.Stack())};
    if (CompleteIfDenied(request, DecideAccess(RequestKind::kCreate, input), kCreateLog)) {
      if (context) ExFreePoolWithTag(context, kPathTag);
      return STATUS_ACCESS_DENIED;
    }
  }
  return PassWithCompletion(volume, irp, context);
}
