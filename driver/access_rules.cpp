// The access decision. Creates and security requests never exempt the System process;
// the other kinds let an untrusted local System process through.
#include "access_rules.h"

#include "nbfsctl.h"

AccessVerdict DecideAccess(RequestKind kind, const AccessInput& input) {
  const bool trusted = input.permission != 0;
  const bool readOnlyTrust = input.permission == NBFS_PERMISSION_READ;
  const bool noAccess = input.flags & NBFS_LOCK_NOACCESS;
  const bool readOnly = input.flags & NBFS_LOCK_READONLY;

  bool exemptsSystem = kind != RequestKind::kCreate && kind != RequestKind::kSecurity;
  if (exemptsSystem && !trusted && !input.network && input.system) return AccessVerdict::kAllowLocalSystem;

  // Set-information counts as a write whatever it sets; queries never write.
  bool write = kind == RequestKind::kSetInformation || (kind != RequestKind::kQueryInformation && input.write);
  if (kind == RequestKind::kQueryInformation) {
    return noAccess && (!trusted || input.network) ? AccessVerdict::kDenyNoAccess : AccessVerdict::kAllow;
  }
  if (noAccess && (!trusted || (readOnlyTrust && write) || input.network)) return AccessVerdict::kDenyNoAccess;
  if (readOnly && write && (!trusted || readOnlyTrust || input.network)) return AccessVerdict::kDenyReadOnly;
  return AccessVerdict::kAllow;
}
