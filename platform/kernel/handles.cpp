// Handle tables and ObReferenceObjectByHandle.
#include "nb/kernel/handles.h"

#include "nb/kernel/kernel.h"
#include "nb/kernel/object_references.h"
#include "nb/kernel/process.h"

namespace {
_OBJECT_TYPE eventObjectType{"Event"};
_OBJECT_TYPE fileObjectType{"File"};
_OBJECT_TYPE mutantObjectType{"Mutant"};
POBJECT_TYPE eventObjectTypePointer = &eventObjectType;
POBJECT_TYPE mutantObjectTypePointer = &mutantObjectType;
POBJECT_TYPE fileObjectTypePointer = &fileObjectType;
}  // namespace

POBJECT_TYPE* ExEventObjectType = &eventObjectTypePointer;
POBJECT_TYPE* IoFileObjectType = &fileObjectTypePointer;
POBJECT_TYPE* ExMutantObjectType = &mutantObjectTypePointer;

namespace nb::kernel {

namespace {
ULONG HandleValue(size_t index) { return static_cast<ULONG>((index + 1) * 4); }
}  // namespace

HandleTables::~HandleTables() { CloseAll(); }

NTSTATUS HandleTables::Insert(ULONG processId, bool kernelHandle, void* object, POBJECT_TYPE type,
                              ACCESS_MASK granted, HANDLE* handle) {
  *handle = nullptr;
  std::lock_guard lock(mutex_);
  auto& slots = kernelHandle ? kernel_ : tables_[processId];
  size_t index = 0;
  while (index < slots.size() && slots[index].object) ++index;
  if (index == slots.size()) {
    if (slots.size() >= kMaxHandlesPerProcess) return STATUS_INSUFFICIENT_RESOURCES;
    slots.emplace_back();
  }
  slots[index] = Slot{object, type, granted};
  ULONG value = HandleValue(index) | (kernelHandle ? kKernelHandleFlag : 0);
  *handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
  return STATUS_SUCCESS;
}

NTSTATUS HandleTables::InsertAt(ULONG processId, HANDLE handle, void* object, POBJECT_TYPE type,
                                ACCESS_MASK granted) {
  auto value = reinterpret_cast<ULONG_PTR>(handle);
  if (value == 0 || value % 4 != 0 || value >= kKernelHandleFlag || value / 4 > kMaxHandlesPerProcess) {
    return STATUS_INVALID_HANDLE;
  }
  size_t index = value / 4 - 1;
  std::lock_guard lock(mutex_);
  auto& slots = tables_[processId];
  if (index >= slots.size()) slots.resize(index + 1);
  if (slots[index].object) return STATUS_INVALID_HANDLE;
  slots[index] = Slot{object, type, granted};
  return STATUS_SUCCESS;
}

HandleTables::Slot* HandleTables::Find(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle) {
  auto raw = reinterpret_cast<ULONG_PTR>(handle);
  if (raw > 0xFFFFFFFFu) return nullptr;
  auto value = static_cast<ULONG>(raw);
  std::vector<Slot>* slots = &kernel_;
  if (value & kKernelHandleFlag) {
    if (mode != KernelMode) return nullptr;
    value &= ~kKernelHandleFlag;
  } else {
    auto table = tables_.find(processId);
    if (table == tables_.end()) return nullptr;
    slots = &table->second;
  }
  if (value == 0 || value % 4 != 0) return nullptr;
  size_t index = value / 4 - 1;
  if (index >= slots->size() || !(*slots)[index].object) return nullptr;
  return &(*slots)[index];
}

NTSTATUS HandleTables::Reference(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle, POBJECT_TYPE type,
                                 ACCESS_MASK desiredAccess, HandleLookup* lookup) {
  *lookup = HandleLookup{};
  std::lock_guard lock(mutex_);
  Slot* slot = Find(processId, mode, handle);
  if (!slot) return STATUS_INVALID_HANDLE;
  if (type && slot->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  if (mode == UserMode && (desiredAccess & ~slot->granted) != 0) return STATUS_ACCESS_DENIED;
  // The handle's own reference keeps the object alive while mutex_ is held.
  CurrentKernel().References().Reference(slot->object);
  *lookup = HandleLookup{slot->object, slot->type, slot->granted};
  return STATUS_SUCCESS;
}

NTSTATUS HandleTables::Close(ULONG processId, KPROCESSOR_MODE mode, HANDLE handle) {
  void* object;
  {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(processId, mode, handle);
    if (!slot) return STATUS_INVALID_HANDLE;
    object = slot->object;
    *slot = Slot{};
  }
  // Outside mutex_: the last reference may run a destroy routine that opens or closes.
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

void HandleTables::ReleaseObjects(std::vector<void*>& objects) {
  for (void* object : objects) ObDereferenceObject(object);
}

void HandleTables::CloseProcess(ULONG processId) {
  std::vector<void*> objects;
  {
    std::lock_guard lock(mutex_);
    auto table = tables_.find(processId);
    if (table == tables_.end()) return;
    for (const Slot& slot : table->second) {
      if (slot.object) objects.push_back(slot.object);
    }
    tables_.erase(table);
  }
  ReleaseObjects(objects);
}

void HandleTables::CloseAll() {
  std::vector<void*> objects;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, slots] : tables_) {
      for (const Slot& slot : slots) {
        if (slot.object) objects.push_back(slot.object);
      }
    }
    for (const Slot& slot : kernel_) {
      if (slot.object) objects.push_back(slot.object);
    }
    tables_.clear();
    kernel_.clear();
  }
  ReleaseObjects(objects);
}

size_t HandleTables::CountOpen(const std::vector<Slot>& slots) {
  size_t count = 0;
  for (const Slot& slot : slots) count += slot.object ? 1 : 0;
  return count;
}

size_t HandleTables::Count(ULONG processId) const {
  std::lock_guard lock(mutex_);
  auto table = tables_.find(processId);
  return table == tables_.end() ? 0 : CountOpen(table->second);
}

size_t HandleTables::KernelCount() const {
  std::lock_guard lock(mutex_);
  return CountOpen(kernel_);
}

}  // namespace nb::kernel

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation) {
  using namespace nb::kernel;
  *object = nullptr;
  HandleLookup lookup;
  NTSTATUS status = CurrentKernel().Handles().Reference(ProcessTable::IdOf(CurrentProcess()), accessMode, handle,
                                                        objectType, desiredAccess, &lookup);
  if (!NT_SUCCESS(status)) return status;
  *object = lookup.object;
  if (handleInformation) *handleInformation = OBJECT_HANDLE_INFORMATION{0, lookup.granted};
  return STATUS_SUCCESS;
}
