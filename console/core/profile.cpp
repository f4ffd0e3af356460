// The in-memory profile.
#include "profile.h"

namespace nb::console {

int MapProfile::GetInt(const std::u16string& section, const std::u16string& name, int fallback) const {
  auto found = ints_.find({section, name});
  return found == ints_.end() ? fallback : found->second;
}

std::u16string MapProfile::GetString(const std::u16string& section, const std::u16string& name,
                                     const std::u16string& fallback) const {
  auto found = strings_.find({section, name});
  return found == strings_.end() ? fallback : found->second;
}

void MapProfile::SetInt(const std::u16string& section, const std::u16string& name, int value) {
  ints_[{section, name}] = value;
}

void MapProfile::SetString(const std::u16string& section, const std::u16string& name, const std::u16string& value) {
  strings_[{section, name}] = value;
}

bool MapProfile::Has(const std::u16string& section, const std::u16string& name) const {
  return ints_.count({section, name}) != 0 || strings_.count({section, name}) != 0;
}

}  // namespace nb::console
