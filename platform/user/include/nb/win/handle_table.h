// The handle table of this process: small integer handle values standing for open objects.
// Values are multiples of 4 starting at 4, as on Windows, and always fit in 32 bits, so a
// handle can travel in a u32 field of a driver request.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "nb/basetypes.h"

namespace nb::win {

class Transport;

// Whatever a handle stands for; released when the last holder lets go of it.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // Whether the object holds something opened through `transport`, which must be closed
  // through it before it goes.
  virtual bool Uses(const Transport* transport) const {
    (void)transport;
    return false;
  }
};

class HandleTable {
 public:
  static constexpr size_t kMaxHandles = size_t{1} << 24;

  // The new handle, or null when the table is full.
  HANDLE Insert(std::shared_ptr<HandleObject> object);
  // The object of a handle, or null for a value that is not an open handle.
  std::shared_ptr<HandleObject> Get(HANDLE handle) const;
  template <typename T>
  std::shared_ptr<T> GetAs(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(Get(handle));
  }
  // Puts another object behind an open handle (a handle reserved before its object could
  // be made); false when the handle is not open.
  bool Replace(HANDLE handle, std::shared_ptr<HandleObject> object);
  // Frees the handle value and returns its object (null when it was not open).
  std::shared_ptr<HandleObject> Remove(HANDLE handle);
  // Frees every handle whose object matches and returns the objects.
  std::vector<std::shared_ptr<HandleObject>> RemoveIf(const std::function<bool(const HandleObject&)>& match);
  size_t Count() const;

 private:
  static bool SlotOf(HANDLE handle, size_t* slot);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<HandleObject>> slots_;  // slot i is handle value 4 * (i + 1)
  std::vector<size_t> free_;
  size_t count_ = 0;
};

// The table the Win32 calls of this process use.
HandleTable& ProcessHandles();

}  // namespace nb::win
