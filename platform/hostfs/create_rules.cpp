// Decisions of a create: valid option combinations, disposition outcomes and target kinds.
#include "create_rules.h"

namespace nb::hostfs {

NTSTATUS CheckCreateOptions(ULONG disposition, ULONG options, ACCESS_MASK desiredAccess) {
  if (disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
  // A directory is opened or made, never overwritten.
  if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_OPEN && disposition != FILE_CREATE &&
      disposition != FILE_OPEN_IF)
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DELETE_ON_CLOSE) && !(desiredAccess & DELETE)) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_SYNCHRONOUS_IO_ALERT) && (options & FILE_SYNCHRONOUS_IO_NONALERT))
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

CreateDecision DecideCreate(ULONG disposition, bool exists) {
  if (!exists) {
    switch (disposition) {
      case FILE_OPEN:
      case FILE_OVERWRITE:
        return {CreateAction::kFail, STATUS_OBJECT_NAME_NOT_FOUND, 0};
      default:
        return {CreateAction::kCreate, STATUS_SUCCESS, FILE_CREATED};
    }
  }
  switch (disposition) {
    case FILE_SUPERSEDE:
      return {CreateAction::kSupersede, STATUS_SUCCESS, FILE_SUPERSEDED};
    case FILE_CREATE:
      return {CreateAction::kFail, STATUS_OBJECT_NAME_COLLISION, 0};
    case FILE_OVERWRITE:
    case FILE_OVERWRITE_IF:
      return {CreateAction::kOverwrite, STATUS_SUCCESS, FILE_OVERWRITTEN};
    default:
      return {CreateAction::kOpen, STATUS_SUCCESS, FILE_OPENED};
  }
}

NTSTATUS CheckTargetKind(ULONG options, bool directory, bool trailingSeparator) {
  if ((options & FILE_DIRECTORY_FILE) && !directory) return STATUS_NOT_A_DIRECTORY;
  if ((options & FILE_NON_DIRECTORY_FILE) && directory) return STATUS_FILE_IS_A_DIRECTORY;
  if (trailingSeparator && !directory) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

}  // namespace nb::hostfs
