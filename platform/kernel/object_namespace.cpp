// Object namespace lookups with case-insensitive names (but for named Win32 objects) and
// symbolic links.
#include "nb/kernel/object_namespace.h"

#include "nb/kernel/object_references.h"

namespace nb::kernel {

namespace {
constexpr int kMaxReparse = 32;

std::u16string Canonical(std::u16string_view path) {
  std::u16string p(path);
  if (p.rfind(u"\\??\\", 0) == 0) p = u"\\DosDevices\\" + p.substr(4);
  return p;
}
}  // namespace

// Names ignore case, except the names inside "\BaseNamedObjects": the Win32 calls open
// those without OBJ_CASE_INSENSITIVE, so "Lock" and "LOCK" are two objects there.
std::u16string ObjectNamespace::Key(std::u16string_view name) {
  constexpr std::u16string_view kCaseSensitiveDirectory = u"\\BASENAMEDOBJECTS\\";
  std::u16string key(name);
  for (auto& c : key) c = RtlUpcaseUnicodeChar(c);
  if (key.starts_with(kCaseSensitiveDirectory)) {
    key.replace(kCaseSensitiveDirectory.size(), std::u16string::npos, name.substr(kCaseSensitiveDirectory.size()));
  }
  return key;
}

NTSTATUS ObjectNamespace::Insert(std::u16string_view name, ObjectKind kind, void* object) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = entries_.try_emplace(Key(Canonical(name)), Entry{Canonical(name), kind, object, {}});
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS ObjectNamespace::InsertLink(std::u16string_view name, std::u16string_view target) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = entries_.try_emplace(Key(Canonical(name)),
                                             Entry{Canonical(name), ObjectKind::kSymbolicLink, nullptr,
                                                   std::u16string(target)});
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS ObjectNamespace::Remove(std::u16string_view name) {
  std::lock_guard lock(mutex_);
  return entries_.erase(Key(Canonical(name))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void ObjectNamespace::RemoveObject(void* object) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const auto& item) { return item.second.object == object; });
}

NTSTATUS ObjectNamespace::Resolve(std::u16string_view path, ResolvedName* resolved) const {
  std::lock_guard lock(mutex_);
  return ResolveLocked(path, resolved);
}

NTSTATUS ObjectNamespace::ResolveReferenced(std::u16string_view path, ObjectReferences& references,
                                            ResolvedName* resolved) const {
  std::lock_guard lock(mutex_);
  NTSTATUS status = ResolveLocked(path, resolved);
  if (!NT_SUCCESS(status)) return status;
  return references.TryReference(resolved->object) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ObjectNamespace::ResolveLocked(std::u16string_view path, ResolvedName* resolved) const {
  std::u16string current = Canonical(path);
  for (int round = 0; round < kMaxReparse; ++round) {
    std::u16string key = Key(current);
    // Longest prefix that ends at a component boundary and names an object.
    size_t length = key.size();
    auto found = entries_.end();
    while (length > 0) {
      found = entries_.find(key.substr(0, length));
      if (found != entries_.end()) break;
      size_t slash = key.rfind(u'\\', length - 1);
      if (slash == std::u16string::npos || slash == 0) break;
      length = slash;
    }
    if (found == entries_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string rest = current.substr(length);
    if (found->second.kind == ObjectKind::kSymbolicLink) {
      current = Canonical(found->second.target + rest);
      continue;
    }
    resolved->kind = found->second.kind;
    resolved->object = found->second.object;
    resolved->remainder = rest;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_INVALID;
}

void* ObjectNamespace::Lookup(std::u16string_view name, ObjectKind kind) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(Key(Canonical(name)));
  return it != entries_.end() && it->second.kind == kind ? it->second.object : nullptr;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(Key(Canonical(name)));
  if (it == entries_.end() || it->second.kind != ObjectKind::kSymbolicLink) return std::nullopt;
  return it->second.target;
}

std::vector<std::u16string> ObjectNamespace::List(std::u16string_view directory) const {
  std::lock_guard lock(mutex_);
  std::u16string prefix = Key(Canonical(directory)) + u"\\";
  std::vector<std::u16string> names;
  for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    std::u16string leaf = it->second.name.substr(prefix.size());
    if (leaf.find(u'\\') == std::u16string::npos) names.push_back(leaf);
  }
  return names;
}

}  // namespace nb::kernel
