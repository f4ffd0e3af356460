// The console's per-user profile kept with QSettings("Nimbra Suite", <application title>):
// sections are groups, values are keys. The title is asked for at each access, because the
// start-up learns it (from the language module) after the profile is handed over.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QSettings>

#include "profile.h"

namespace nb::console {

inline constexpr const char* kProfileOrganization = "Nimbra Suite";

class SettingsProfile final : public Profile {
 public:
  using TitleFn = std::function<std::u16string()>;
  explicit SettingsProfile(TitleFn title);

  int GetInt(const std::u16string& section, const std::u16string& name, int fallback) const override;
  std::u16string GetString(const std::u16string& section, const std::u16string& name,
                           const std::u16string& fallback) const override;
  void SetInt(const std::u16string& section, const std::u16string& name, int value) override;
  void SetString(const std::u16string& section, const std::u16string& name, const std::u16string& value) override;

 private:
  std::unique_ptr<QSettings> Open() const;

  TitleFn title_;
};

}  // namespace nb::console
