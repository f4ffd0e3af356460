// Whose per-user settings the console keeps: the user who started it, also when it runs
// elevated through sudo or pkexec (the profile then lives in that user's configuration
// folder and its file stays that user's).
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace nb::console {

struct SettingsOwner {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string configFolder;  // "<home>/.config"
};

// The invoking user of an elevated run, from SUDO_UID/SUDO_GID or PKEXEC_UID, when the
// process runs as root on that user's behalf; nullopt otherwise (the process's own user).
std::optional<SettingsOwner> InvokingUser();

// Points the per-user settings of this process at the owner's folder.
void UseSettingsOf(const SettingsOwner& owner);
// The owner set by UseSettingsOf, if any: files the profile writes are handed to them.
const std::optional<SettingsOwner>& SettingsOwnerInUse();

}  // namespace nb::console
