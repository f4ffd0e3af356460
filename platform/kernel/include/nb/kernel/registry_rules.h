// The registry's naming and access rules as plain functions: key paths, the case folding
// that makes names compare ignoring case, the keys each predefined root stands for, and
// which rights a Linux user may hold on a key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

#include "nb/registry_types.h"

namespace nb::kernel {

// Splits a key path relative to some key ("SOFTWARE\Nimbra") into its components. A
// trailing backslash is ignored; an empty component (leading or doubled backslash) is
// STATUS_OBJECT_PATH_SYNTAX_BAD, a NUL STATUS_OBJECT_NAME_INVALID, a component longer
// than kRegistryMaxKeyNameLength STATUS_INVALID_PARAMETER. The empty path has none.
[[nodiscard]] NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string>* components);
// The same for a full name ("\Registry\Machine\SOFTWARE"), which must start with a
// backslash; its first component is "Registry".
[[nodiscard]] NTSTATUS SplitAbsoluteKeyPath(std::u16string_view path, std::vector<std::u16string>* components);

// The name with every character upcased: two names are the same key or value when their
// folded forms are equal.
std::u16string FoldRegistryName(std::u16string_view name);

// The name of a user's key below \Registry\User: the SID of a Unix user, "S-1-22-1-<uid>".
std::u16string RegistryUserKeyName(uint32_t uid);

// The key a predefined root stands for, as components from "REGISTRY" in their stored
// case; the current user's key depends on `uid`. Empty for kAbsolute.
std::vector<std::u16string> RootKeyPath(RegistryRoot root, uint32_t uid);

// GENERIC_* rights mapped to key rights; bits keys do not have (SYNCHRONIZE, the WOW64
// view flags) dropped; MAXIMUM_ALLOWED kept.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);
// The rights `uid` may hold on the key at `path` (folded components from "REGISTRY"):
// root may do everything; a user reads the machine's keys and owns its own key below
// \Registry\User; other users' keys are closed to it.
ACCESS_MASK AllowedKeyAccess(uint32_t uid, const std::vector<std::u16string>& path);
// The keys that hold the hive together, which are never deleted: \Registry,
// \Registry\Machine with SOFTWARE and SYSTEM, \Registry\User with each user's key.
bool IsHiveRootKey(const std::vector<std::u16string>& path);

}  // namespace nb::kernel
