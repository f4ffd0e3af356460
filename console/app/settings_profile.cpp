// The console's profile over QSettings.
#include "settings_profile.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include "settings_owner.h"

namespace nb::console {

namespace {

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }
QString Key(const std::u16string& section, const std::u16string& name) { return Q(section) + "/" + Q(name); }

// Written for another user (an elevated run): the file and its folder become theirs.
void HandOver(QSettings& settings) {
  const std::optional<SettingsOwner>& owner = SettingsOwnerInUse();
  if (!owner) return;
  settings.sync();
  QFileInfo file(settings.fileName());
  for (const QString& path : {file.absolutePath(), file.absoluteFilePath()}) {
    if (chown(path.toLocal8Bit().constData(), owner->uid, owner->gid) != 0) return;
  }
}

}  // namespace

SettingsProfile::SettingsProfile(TitleFn title) : title_(std::move(title)) {}

std::unique_ptr<QSettings> SettingsProfile::Open() const {
  std::u16string title = title_ ? title_() : std::u16string();
  return std::make_unique<QSettings>(kProfileOrganization, Q(title));
}

int SettingsProfile::GetInt(const std::u16string& section, const std::u16string& name, int fallback) const {
  QVariant value = Open()->value(Key(section, name));
  bool ok = false;
  int number = value.toInt(&ok);
  return value.isValid() && ok ? number : fallback;
}

std::u16string SettingsProfile::GetString(const std::u16string& section, const std::u16string& name,
                                          const std::u16string& fallback) const {
  QVariant value = Open()->value(Key(section, name));
  return value.isValid() ? value.toString().toStdU16String() : fallback;
}

void SettingsProfile::SetInt(const std::u16string& section, const std::u16string& name, int value) {
  std::unique_ptr<QSettings> settings = Open();
  settings->setValue(Key(section, name), value);
  HandOver(*settings);
}

void SettingsProfile::SetString(const std::u16string& section, const std::u16string& name,
                                const std::u16string& value) {
  std::unique_ptr<QSettings> settings = Open();
  settings->setValue(Key(section, name), Q(value));
  HandOver(*settings);
}

}  // namespace nb::console
