// IRP_MJ_SET_INFORMATION and IRP_MJ_QUERY_INFORMATION on governed paths.
#include "filtered_request.h"
#include "nb/resource_guard.h"
#include "trusted.h"

namespace {

constexpr ULONG kTargetTag = 'tTbN';

constexpr VerdictLog kSetInfoLog{"setInfo: local system proc, path=%ws\n", LOG_NOTICE,
                                 "setInfo: NO ACCESS: access denied\n", "setInfo: READONLY: access denied\n",
                                 LOG_NOTICE};
constexpr VerdictLog kQueryInfoLog{"queryInfo: local system proc, path=%ws\n", LOG_NOTICE,
                                   "queryInfo: NO ACCESS: access denied\n", "queryInfo: NO ACCESS: access denied\n",
                                   LOG_NOTICE};

// A hard link is a rename that keeps the old name: for the locked path itself it would be
// a second road to it that no lock governs. A delete comes in either disposition record.
bool IsRenameOrDelete(FILE_INFORMATION_CLASS informationClass) {
  return informationClass == FileRenameInformation || informationClass == FileLinkInformation ||
         informationClass == FileDispositionInformation || informationClass == FileDispositionInformationEx;
}

bool HasLocks(VolumeRecord* volume) {
  nb::SharedLock guard(volume->lock);
  return !IsListEmpty(&volume->entries) || volume->savedType != 0 || volume->flags != 0;
}

// The verdict a create of `directory` "\" `name` would meet for this caller.
[[nodiscard]] NTSTATUS JudgeTargetPath(const FilteredRequest& request, const WCHAR* directory, ULONG directoryLength,
                         const WCHAR* name, ULONG nameLength, AccessVerdict* verdict) {
  bool separator = directoryLength != 0 && directory[directoryLength / sizeof(WCHAR) - 1] != u'\\';
  ULONG length = directoryLength + (separator ? sizeof(WCHAR) : 0) + nameLength;
  auto* path = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, length + sizeof(WCHAR), kTargetTag));
  if (!path) return STATUS_INSUFFICIENT_RESOURCES;
  auto* at = reinterpret_cast<UCHAR*>(path);
  if (directoryLength) RtlCopyMemory(at, directory, directoryLength);
  at += directoryLength;
  if (separator) {
    const WCHAR backslash = u'\\';
    RtlCopyMemory(at, &backslash, sizeof backslash);
    at += sizeof backslash;
  }
  RtlCopyMemory(at, name, nameLength);
  path[length / sizeof(WCHAR)] = 0;

  *verdict = AccessVerdict::kAllow;
  GoverningLock lock = request.Resolve(path, length);
  if (lock.applies && (lock.flags & (NBFS_LOCK_NOACCESS | NBFS_LOCK_READONLY))) {
    AccessInput input{lock.flags, lock.permission, isNetworkCaller(), false, true};
    *verdict = DecideAccess(RequestKind::kCreate, input);
  }
  ExFreePoolWithTag(path, kTargetTag);
  return STATUS_SUCCESS;
}

// A rename or a hard link makes a new name, which must pass the rules a create of that
// name would meet for this caller: a file is not moved or linked into a folder that the
// caller could not create it in. The new name is a path from the volume root, a name
// beside the file, or a name in the target directory the request names (of which a file
// system takes the last component; the whole name is judged as well).
[[nodiscard]] NTSTATUS JudgeTarget(const FilteredRequest& request, AccessVerdict* verdict) {
  *verdict = AccessVerdict::kAllow;
  PIO_STACK_LOCATION stack = request.Stack();
  // A link record (FILE_LINK_INFORMATION) is laid out as a rename record.
  constexpr ULONG fixed = offsetof(FILE_RENAME_INFORMATION, FileName);
  const ULONG length = stack->Parameters.SetFile.Length;
  const auto* buffer = static_cast<const UCHAR*>(request.Irp()->AssociatedIrp.SystemBuffer);
  // A record the file system cannot read names nothing; it refuses it itself.
  if (!buffer || length < fixed) return STATUS_SUCCESS;
  ULONG nameLength;
  RtlCopyMemory(&nameLength, buffer + offsetof(FILE_RENAME_INFORMATION, FileNameLength), sizeof nameLength);
  if (nameLength == 0 || nameLength > length - fixed || nameLength % sizeof(WCHAR) != 0) return STATUS_SUCCESS;
  const auto* name = reinterpret_cast<const WCHAR*>(buffer + fixed);
  const ULONG units = nameLength / sizeof(WCHAR);

  if (PFILE_OBJECT targetDirectory = stack->Parameters.SetFile.FileObject) {
    CachedName directory(targetDirectory);
    if (!directory.Found()) {
      // A directory whose name is unknown could lie under any lock of the volume.
      if (HasLocks(request.Volume())) *verdict = AccessVerdict::kDenyNoAccess;
      return STATUS_SUCCESS;
    }
    ULONG leaf = units;
    while (leaf > 0 && name[leaf - 1] != u'\\') --leaf;
    NTSTATUS status = JudgeTargetPath(request, directory.Name(), directory.Length(), name + leaf,
                                      (units - leaf) * sizeof(WCHAR), verdict);
    if (!NT_SUCCESS(status) || IsDenial(*verdict) || leaf == 0) return status;
    return JudgeTargetPath(request, directory.Name(), directory.Length(), name, nameLength, verdict);
  }
  if (name[0] == u'\\') return JudgeTargetPath(request, nullptr, 0, name, nameLength, verdict);
  // Beside the file: in the folder of its recorded name.
  const CachedName& source = request.Name();
  ULONG parent = source.Length() / sizeof(WCHAR);
  while (parent > 0 && source.Name()[parent - 1] != u'\\') --parent;
  ULONG parentLength = parent > 1 ? (parent - 1) * sizeof(WCHAR) : sizeof(WCHAR);
  return JudgeTargetPath(request, source.Name(), parentLength, name, nameLength, verdict);
}

// Passes a set-information request on once a new name it makes has passed; a rename
// forgets the old name first.
[[nodiscard]] NTSTATUS PassSetInformation(const FilteredRequest& request, FILE_INFORMATION_CLASS cls) {
  if (cls == FileRenameInformation || cls == FileLinkInformation) {
    AccessVerdict verdict;
    NTSTATUS status = JudgeTarget(request, &verdict);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    if (CompleteIfDenied(request, verdict, kSetInfoLog)) return STATUS_ACCESS_DENIED;
  }
  if (cls == FileRenameInformation) (void)NameCacheForget(request.File());
  return request.PassOn();
}

}  // namespace

NTSTATUS setInfo(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "nbfsSetInformation: not Attached yet\n");
  if (!request.Checkable() || !request.LookUpName()) return request.Skip();
  const CachedName& path = request.Name();
  FILE_INFORMATION_CLASS cls = request.Stack()->Parameters.SetFile.FileInformationClass;

  GoverningLock lock = request.ResolveName();
  if (lock.volumeHasEntries && !lock.entryGoverns) {
    if (cls == FileRenameInformation && IsAncestorOfEntry(request.Volume(), path.Name(), path.Length())) {
      nbfsLog(LOG_NOTICE, "setInfo: rename parent dir\n");
      return request.Complete(STATUS_ACCESS_DENIED);
    }
    return PassSetInformation(request, cls);
  }
  // The locked folder itself is never renamed or deleted, whoever asks, paused or not.
  if (lock.pathIsEntry && IsRenameOrDelete(cls)) {
    nbfsLog(LOG_NOTICE, "cannot rename or delete Service Directory\n");
    return request.Complete(STATUS_ACCESS_DENIED);
  }
  if (!lock.applies) return PassSetInformation(request, cls);

  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), true};
  if (CompleteIfDenied(request, DecideAccess(RequestKind::kSetInformation, input), kSetInfoLog, path.Name()))
    return STATUS_ACCESS_DENIED;
  return PassSetInformation(request, cls);
}

NTSTATUS queryInfo(PDEVICE_OBJECT device, PIRP irp) {
  FilteredRequest request(device, irp, "queryInformation: not Attached yet\n");
  if (!request.Checkable() || !request.LookUpName()) return request.Skip();

  GoverningLock lock = request.ResolveName();
  if (!lock.applies) return request.PassOn();
  AccessInput input{lock.flags, lock.permission, isNetworkCaller(), isSystemProcess(), false};
  if (CompleteIfDenied(request, DecideAccess(RequestKind::kQueryInformation, input), kQueryInfoLog,
                       request.Name().Name()))
    return STATUS_ACCESS_DENIED;
  return request.PassOn();
}
