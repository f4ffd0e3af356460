// What a create does, decided from its disposition, options and what the name refers to.
#pragma once

#include <ntifs.h>

namespace nb::hostfs {

enum class CreateAction { kOpen, kCreate, kOverwrite, kSupersede, kFail };

struct CreateDecision {
  CreateAction action;
  NTSTATUS status;    // the failure for kFail
  ULONG information;  // FILE_OPENED, FILE_CREATED ... for the others
};

// Checks the combination of disposition, options and desired access before any lookup.
[[nodiscard]] NTSTATUS CheckCreateOptions(ULONG disposition, ULONG options, ACCESS_MASK desiredAccess);
// The action for a checked disposition on a name that exists or not.
CreateDecision DecideCreate(ULONG disposition, bool exists);
// Whether an existing object (or one about to be made) of this kind suits the options and
// the name (a trailing separator asks for a directory).
[[nodiscard]] NTSTATUS CheckTargetKind(ULONG options, bool directory, bool trailingSeparator);

}  // namespace nb::hostfs
