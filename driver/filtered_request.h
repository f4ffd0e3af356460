// The questions every filtered dispatch routine asks first (control device? attached?
// active? which name? which lock governs?) answered in one place, and the one way a
// verdict becomes a log line and a completion.
#pragma once

#include <optional>

#include <ntifs.h>

#include "access_rules.h"
#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "volume_guard.h"

// A request that reached one of the driver's devices, decoded. It lives for the whole
// dispatch routine, passing on included, and holds the volume record's rundown
// protection all that time, so tear-down waits for it before freeing the record.
class FilteredRequest {
 public:
  // `notAttached` is the routine's notice for a volume filter not attached yet.
  FilteredRequest(PDEVICE_OBJECT device, PIRP irp, const char* notAttached);
  FilteredRequest(const FilteredRequest&) = delete;
  FilteredRequest& operator=(const FilteredRequest&) = delete;

  // True for a request on an attached, active volume that carries a file object: the
  // routine goes on to check it. Anything else is answered by Skip(), also a request
  // that meets its volume being torn down.
  bool Checkable() const { return checkable_; }
  // Completes a request to the control device (success, 0 bytes), declines one whose
  // volume is being torn down (VolumeGuard::Decline), passes any other on.
  [[nodiscard]] NTSTATUS Skip();

  // Looks up the name the file object was opened with; false when it has none.
  bool LookUpName();
  const CachedName& Name() const { return *name_; }

  // The lock governing `path`, or the file object's recorded name.
  GoverningLock Resolve(const WCHAR* path, ULONG length) const { return ResolveGoverningLock(volume_, path, length); }
  GoverningLock ResolveName() const { return Resolve(name_->Name(), name_->Length()); }

  VolumeRecord* Volume() const { return volume_; }
  PIRP Irp() const { return irp_; }
  PIO_STACK_LOCATION Stack() const { return stack_; }
  PFILE_OBJECT File() const { return stack_->FileObject; }

  [[nodiscard]] NTSTATUS PassOn() const { return ::PassOn(volume_, irp_); }
  [[nodiscard]] NTSTATUS Complete(NTSTATUS status) const { return CompleteRequest(irp_, status, 0); }

 private:
  PIRP irp_;
  PIO_STACK_LOCATION stack_;
  VolumeRecord* volume_ = nullptr;  // null for the control device
  std::optional<VolumeGuard> guard_;  // set for the driver's filter devices
  bool checkable_ = false;
  std::optional<CachedName> name_;
};

// What a routine logs for each verdict (nullptr: nothing) and at which level.
struct VerdictLog {
  const char* localSystem;
  ULONG localSystemLevel;
  const char* noAccess;
  const char* readOnly;
  ULONG denialLevel;
};

inline bool IsDenial(AccessVerdict verdict) {
  return verdict == AccessVerdict::kDenyNoAccess || verdict == AccessVerdict::kDenyReadOnly;
}

// Logs the verdict's line, formatted with `args`, and completes a denied request with
// STATUS_ACCESS_DENIED and 0 bytes. True when the request was denied and completed.
template <typename... Args>
bool CompleteIfDenied(const FilteredRequest& request, AccessVerdict verdict, const VerdictLog& log, Args... args) {
  const char* message = nullptr;
  ULONG level = log.denialLevel;
  switch (verdict) {
    case AccessVerdict::kAllow:
      return false;
    case AccessVerdict::kAllowLocalSystem:
      if (log.localSystem) nbfsLog(log.localSystemLevel, log.localSystem, args...);
      return false;
    case AccessVerdict::kDenyNoAccess:
      message = log.noAccess;
      break;
    case AccessVerdict::kDenyReadOnly:
      message = log.readOnly;
      break;
  }
  if (message) nbfsLog(level, message, args...);
  (void)request.Complete(STATUS_ACCESS_DENIED);
  return true;
}
