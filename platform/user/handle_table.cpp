// The process handle table.
#include "nb/win/handle_table.h"

#include <utility>

namespace nb::win {

bool HandleTable::SlotOf(HANDLE handle, size_t* slot) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value % 4 != 0 || value / 4 > kMaxHandles) return false;
  *slot = value / 4 - 1;
  return true;
}

HANDLE HandleTable::Insert(std::shared_ptr<HandleObject> object) {
  if (!object) return nullptr;
  std::lock_guard lock(mutex_);
  size_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= kMaxHandles) return nullptr;
    slot = slots_.size();
    slots_.emplace_back();
  }
  slots_[slot] = std::move(object);
  ++count_;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

std::shared_ptr<HandleObject> HandleTable::Get(HANDLE handle) const {
  size_t slot;
  if (!SlotOf(handle, &slot)) return nullptr;
  std::lock_guard lock(mutex_);
  return slot < slots_.size() ? slots_[slot] : nullptr;
}

bool HandleTable::Replace(HANDLE handle, std::shared_ptr<HandleObject> object) {
  size_t slot;
  if (!object || !SlotOf(handle, &slot)) return false;
  std::shared_ptr<HandleObject> previous;
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size() || !slots_[slot]) return false;
  previous = std::exchange(slots_[slot], std::move(object));
  return true;
}

std::shared_ptr<HandleObject> HandleTable::Remove(HANDLE handle) {
  size_t slot;
  if (!SlotOf(handle, &slot)) return nullptr;
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size() || !slots_[slot]) return nullptr;
  std::shared_ptr<HandleObject> object = std::move(slots_[slot]);
  slots_[slot].reset();
  free_.push_back(slot);
  --count_;
  return object;
}

std::vector<std::shared_ptr<HandleObject>> HandleTable::RemoveIf(
    const std::function<bool(const HandleObject&)>& match) {
  std::vector<std::shared_ptr<HandleObject>> removed;
  std::lock_guard lock(mutex_);
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] && match(*slots_[slot])) {
      removed.push_back(std::move(slots_[slot]));
      slots_[slot].reset();
      free_.push_back(slot);
      --count_;
    }
  }
  return removed;
}

size_t HandleTable::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

HandleTable& ProcessHandles() {
  static HandleTable table;
  return table;
}

}  // namespace nb::win
