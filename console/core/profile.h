// The console's per-user settings: integers and strings by section and value name. The
// window program keeps them with its settings store; tests and tools use MapProfile.
#pragma once

#include <map>
#include <string>
#include <utility>

namespace nb::console {

class Profile {
 public:
  virtual ~Profile() = default;
  virtual int GetInt(const std::u16string& section, const std::u16string& name, int fallback) const = 0;
  virtual std::u16string GetString(const std::u16string& section, const std::u16string& name,
                                   const std::u16string& fallback) const = 0;
  virtual void SetInt(const std::u16string& section, const std::u16string& name, int value) = 0;
  virtual void SetString(const std::u16string& section, const std::u16string& name, const std::u16string& value) = 0;
};

// A profile in memory.
class MapProfile final : public Profile {
 public:
  int GetInt(const std::u16string& section, const std::u16string& name, int fallback) const override;
  std::u16string GetString(const std::u16string& section, const std::u16string& name,
                           const std::u16string& fallback) const override;
  void SetInt(const std::u16string& section, const std::u16string& name, int value) override;
  void SetString(const std::u16string& section, const std::u16string& name, const std::u16string& value) override;
  bool Has(const std::u16string& section, const std::u16string& name) const;
  size_t Size() const { return ints_.size() + strings_.size(); }

 private:
  using Key = std::pair<std::u16string, std::u16string>;
  std::map<Key, int> ints_;
  std::map<Key, std::u16string> strings_;
};

}  // namespace nb::console
