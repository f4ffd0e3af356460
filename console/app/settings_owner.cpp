// The owner of the console's per-user settings.
#include "settings_owner.h"

#include <QSettings>

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace nb::console {

namespace {

std::optional<SettingsOwner> owner;

std::optional<long> Number(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<SettingsOwner> InvokingUser() {
  if (geteuid() != 0) return std::nullopt;
  std::optional<long> uid = Number("SUDO_UID");
  if (!uid) uid = Number("PKEXEC_UID");
  if (!uid || *uid == 0) return std::nullopt;
  struct passwd* user = getpwuid(static_cast<uid_t>(*uid));
  if (!user || !user->pw_dir || !*user->pw_dir) return std::nullopt;
  SettingsOwner result;
  result.uid = user->pw_uid;
  std::optional<long> gid = Number("SUDO_GID");
  result.gid = gid ? static_cast<gid_t>(*gid) : user->pw_gid;
  result.configFolder = std::string(user->pw_dir) + "/.config";
  return result;
}

void UseSettingsOf(const SettingsOwner& settingsOwner) {
  owner = settingsOwner;
  QString folder = QString::fromStdString(settingsOwner.configFolder);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

const std::optional<SettingsOwner>& SettingsOwnerInUse() { return owner; }

}  // namespace nb::console
