// Registry naming and access rules.
#include "nb/kernel/registry_rules.h"

#include <string>

namespace nb::kernel {

namespace {

constexpr std::u16string_view kRegistry = u"REGISTRY";
constexpr std::u16string_view kMachine = u"MACHINE";
constexpr std::u16string_view kUser = u"USER";

}  // namespace

NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string>* components) {
  components->clear();
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return STATUS_SUCCESS;
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view component = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (component.empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (component.find(u'\0') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
    if (component.size() > kRegistryMaxKeyNameLength) return STATUS_INVALID_PARAMETER;
    components->emplace_back(component);
    if (components->size() > kRegistryMaxDepth) return STATUS_INVALID_PARAMETER;
    if (end == std::u16string_view::npos) return STATUS_SUCCESS;
    start = end + 1;
  }
}

NTSTATUS SplitAbsoluteKeyPath(std::u16string_view path, std::vector<std::u16string>* components) {
  components->clear();
  if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  path.remove_prefix(1);
  NTSTATUS status = SplitKeyPath(path, components);
  if (!NT_SUCCESS(status)) return status;
  if (components->empty()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (FoldRegistryName(components->front()) != kRegistry) return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}

std::u16string FoldRegistryName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = RtlUpcaseUnicodeChar(c);
  return folded;
}

std::u16string RegistryUserKeyName(uint32_t uid) {
  std::string sid = "S-1-22-1-" + std::to_string(uid);
  return std::u16string(sid.begin(), sid.end());
}

std::vector<std::u16string> RootKeyPath(RegistryRoot root, uint32_t uid) {
  switch (root) {
    case RegistryRoot::kClassesRoot:
      return {u"REGISTRY", u"MACHINE", u"SOFTWARE", u"Classes"};
    case RegistryRoot::kCurrentUser:
      return {u"REGISTRY", u"USER", RegistryUserKeyName(uid)};
    case RegistryRoot::kLocalMachine:
      return {u"REGISTRY", u"MACHINE"};
    case RegistryRoot::kUsers:
      return {u"REGISTRY", u"USER"};
    case RegistryRoot::kCurrentConfig:
      return {u"REGISTRY", u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"};
    case RegistryRoot::kAbsolute:
      break;
  }
  return {};
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK mapped = desired & (KEY_ALL_ACCESS | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) mapped |= KEY_READ;
  if (desired & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (desired & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

ACCESS_MASK AllowedKeyAccess(uint32_t uid, const std::vector<std::u16string>& path) {
  if (uid == 0) return KEY_ALL_ACCESS;
  if (path.size() >= 3 && path[0] == kRegistry && path[1] == kUser) {
    return path[2] == FoldRegistryName(RegistryUserKeyName(uid)) ? KEY_ALL_ACCESS : 0;
  }
  return KEY_READ;
}

bool IsHiveRootKey(const std::vector<std::u16string>& path) {
  if (path.size() <= 2) return true;
  if (path.size() > 3) return false;
  if (path[1] == kUser) return true;
  return path[1] == kMachine && (path[2] == u"SOFTWARE" || path[2] == u"SYSTEM");
}

}  // namespace nb::kernel
