// The object manager's namespace: named devices, symbolic links and other named objects.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace nb::kernel {

class ObjectReferences;

enum class ObjectKind { kDevice, kSymbolicLink, kEvent, kMutant, kOther };

struct ResolvedName {
  ObjectKind kind;
  void* object;
  std::u16string remainder;  // the part after the object's name: empty or beginning with "\"
};

class ObjectNamespace {
 public:
  // Fails with STATUS_OBJECT_NAME_COLLISION when the name is taken.
  [[nodiscard]] NTSTATUS Insert(std::u16string_view name, ObjectKind kind, void* object);
  [[nodiscard]] NTSTATUS InsertLink(std::u16string_view name, std::u16string_view target);
  [[nodiscard]] NTSTATUS Remove(std::u16string_view name);
  // Removes every name that refers to `object`.
  void RemoveObject(void* object);

  // Finds the object a path names, following symbolic links ("\??\" is "\DosDevices\").
  [[nodiscard]] NTSTATUS Resolve(std::u16string_view path, ResolvedName* resolved) const;
  // The same, taking a reference on the object before the name can go (TryReference of
  // `references`); STATUS_OBJECT_NAME_NOT_FOUND when its last reference has gone.
  [[nodiscard]] NTSTATUS ResolveReferenced(std::u16string_view path, ObjectReferences& references,
                                           ResolvedName* resolved) const;
  // The object with exactly this name, without following links.
  void* Lookup(std::u16string_view name, ObjectKind kind) const;
  std::optional<std::u16string> LinkTarget(std::u16string_view name) const;
  // Names directly inside a directory such as "\DosDevices", with their original case.
  std::vector<std::u16string> List(std::u16string_view directory) const;

 private:
  struct Entry {
    std::u16string name;
    ObjectKind kind;
    void* object;
    std::u16string target;
  };
  static std::u16string Key(std::u16string_view name);
  NTSTATUS ResolveLocked(std::u16string_view path, ResolvedName* resolved) const;

  mutable std::mutex mutex_;
  std::map<std::u16string, Entry> entries_;
};

}  // namespace nb::kernel
