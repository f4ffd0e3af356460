// Reference counts of kernel objects, and what destroys each one at the end.
#pragma once

#include <functional>
#include <mutex>
#include <unordered_map>

#include <ntifs.h>

namespace nb::kernel {

class ObjectReferences {
 public:
  // Starts counting `object` with one reference.
  void Track(void* object, std::function<void(void*)> destroy);
  bool Tracked(void* object) const;
  void Reference(void* object);
  // References the object unless its last reference has already gone; false then.
  bool TryReference(void* object);
  // Runs the destroy routine when the count reaches zero.
  void Dereference(void* object);
  size_t Count() const;

 private:
  struct Entry {
    long references;
    std::function<void(void*)> destroy;
  };
  mutable std::mutex mutex_;
  std::unordered_map<void*, Entry> objects_;
};

}  // namespace nb::kernel
