// Mutant objects as the system services behind the Win32 mutex calls see them: created or
// opened by name, reached through the calling process's handles, released by their owner.
// Waits on them are the event waits (events.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <ntifs.h>

namespace nb::kernel {

// The security of a mutant: `user` is the Linux user of the calling process. A mutant's
// maker's user and root (0) have every right on it; any other user is refused with
// STATUS_ACCESS_DENIED when creating or opening it by name. A mutant made without a user
// (by the kernel itself) and callers without one are not checked.
//
// Creates a mutant, owned by the calling thread when `initialOwner`; a non-empty name
// that already names a mutant opens that one instead (its ownership untouched) and gives
// STATUS_OBJECT_NAME_EXISTS. STATUS_OBJECT_NAME_INVALID for a name that is not a full
// object name, STATUS_OBJECT_TYPE_MISMATCH when the name belongs to another kind of
// object. `chosen` as for NtCreateEvent.
[[nodiscard]] NTSTATUS NtCreateMutant(HANDLE* handle, ACCESS_MASK access, std::u16string_view name,
                                      BOOLEAN initialOwner, HANDLE chosen = nullptr,
                                      std::optional<uint32_t> user = std::nullopt);
// STATUS_OBJECT_NAME_NOT_FOUND when no mutant has the name.
[[nodiscard]] NTSTATUS NtOpenMutant(HANDLE* handle, ACCESS_MASK access, std::u16string_view name,
                                    HANDLE chosen = nullptr, std::optional<uint32_t> user = std::nullopt);
// Releases one acquisition by the calling thread; STATUS_MUTANT_NOT_OWNED when it is not
// the owner. `previousCount` (may be null) gets the state before the release.
[[nodiscard]] NTSTATUS NtReleaseMutant(HANDLE handle, LONG* previousCount);

}  // namespace nb::kernel
