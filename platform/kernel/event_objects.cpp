// Event objects of the object manager: named and unnamed events, the handle services on
// them, the waits on events and mutants, and IoCreateNotificationEvent.
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "nb/kernel/events.h"
#include "nb/kernel/handles.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "nb/kernel/object_references.h"
#include "nb/kernel/process.h"
#include "named_objects.h"

namespace nb::kernel {

namespace {

void DestroyEvent(void* object) {
  {
    std::lock_guard lock(NamedObjectsLock());
    CurrentKernel().Namespace().RemoveObject(object);
  }
  delete static_cast<PRKEVENT>(object);
}

PRKEVENT ReferenceNamedEvent(std::u16string_view name) {
  return static_cast<PRKEVENT>(ReferenceNamedObject(name, ObjectKind::kEvent));
}

NTSTATUS InsertHandle(PRKEVENT event, ACCESS_MASK access, bool kernelHandle, HANDLE* handle,
                      HANDLE chosen = nullptr) {
  return InsertObjectHandle(event, *ExEventObjectType, access, kernelHandle, handle, chosen);
}

NTSTATUS ReferenceEvent(HANDLE handle, ACCESS_MASK access, PRKEVENT* event) {
  void* object;
  NTSTATUS status = ReferenceObjectHandle(handle, *ExEventObjectType, access, &object);
  *event = static_cast<PRKEVENT>(object);
  return status;
}

// The waitable object behind a handle (an event or a mutant), referenced.
NTSTATUS ReferenceWaitable(HANDLE handle, PVOID* object) {
  HandleLookup lookup;
  NTSTATUS status =
      CurrentKernel().Handles().Reference(CurrentProcessId(), UserMode, handle, nullptr, SYNCHRONIZE, &lookup);
  if (!NT_SUCCESS(status)) return status;
  if (lookup.type != *ExEventObjectType && lookup.type != *ExMutantObjectType) {
    ObDereferenceObject(lookup.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *object = lookup.object;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateEventObject(std::u16string_view name, EVENT_TYPE type, BOOLEAN initialState, PRKEVENT* event) {
  *event = nullptr;
  if (!name.empty() && !ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
  Kernel& kernel = CurrentKernel();
  std::unique_lock lock(kernel.NamedObjectsLock(), std::defer_lock);
  if (!name.empty()) {
    lock.lock();
    if ((*event = ReferenceNamedEvent(name))) return STATUS_OBJECT_NAME_EXISTS;
    if (NameTakenByOtherKind(name, ObjectKind::kEvent)) return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto* created = new (std::nothrow) KEVENT{};
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(created, type, initialState);
  if (!name.empty()) {
    NTSTATUS status = kernel.Namespace().Insert(name, ObjectKind::kEvent, created);
    if (!NT_SUCCESS(status)) {
      delete created;
      return status;
    }
  }
  kernel.References().Track(created, DestroyEvent);
  *event = created;
  return STATUS_SUCCESS;
}

NTSTATUS NtCreateEvent(HANDLE* handle, ACCESS_MASK access, std::u16string_view name, EVENT_TYPE type,
                       BOOLEAN initialState, HANDLE chosen) {
  *handle = nullptr;
  PRKEVENT event;
  NTSTATUS status = CreateEventObject(name, type, initialState, &event);
  if (!NT_SUCCESS(status)) return status;
  NTSTATUS inserted = InsertHandle(event, access, false, handle, chosen);
  return NT_SUCCESS(inserted) ? status : inserted;
}

NTSTATUS NtOpenEvent(HANDLE* handle, ACCESS_MASK access, std::u16string_view name, HANDLE chosen) {
  *handle = nullptr;
  if (!ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
  PRKEVENT event;
  {
    std::lock_guard lock(NamedObjectsLock());
    event = ReferenceNamedEvent(name);
    if (!event) {
      return NameTakenByOtherKind(name, ObjectKind::kEvent) ? STATUS_OBJECT_TYPE_MISMATCH
                                                            : STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  return InsertHandle(event, access, false, handle, chosen);
}

NTSTATUS NtSetEvent(HANDLE handle, LONG* previousState) {
  PRKEVENT event;
  NTSTATUS status = ReferenceEvent(handle, EVENT_MODIFY_STATE, &event);
  if (!NT_SUCCESS(status)) return status;
  LONG previous = KeSetEvent(event, 0, FALSE);
  if (previousState) *previousState = previous;
  ObDereferenceObject(event);
  return STATUS_SUCCESS;
}

NTSTATUS NtResetEvent(HANDLE handle, LONG* previousState) {
  PRKEVENT event;
  NTSTATUS status = ReferenceEvent(handle, EVENT_MODIFY_STATE, &event);
  if (!NT_SUCCESS(status)) return status;
  LONG previous = KeResetEvent(event);
  if (previousState) *previousState = previous;
  ObDereferenceObject(event);
  return STATUS_SUCCESS;
}

NTSTATUS NtWaitForSingleObject(HANDLE handle, const LARGE_INTEGER* timeout) {
  return NtWaitForMultipleObjects(1, &handle, WaitAny, timeout);
}

NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType,
                                  const LARGE_INTEGER* timeout, BOOLEAN alertable) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  // The wait holds its own references, so closing a handle meanwhile is harmless.
  std::vector<PVOID> objects;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    PVOID object;
    status = ReferenceWaitable(handles[i], &object);
    if (NT_SUCCESS(status)) objects.push_back(object);
  }
  if (NT_SUCCESS(status)) {
    LARGE_INTEGER copy{};
    if (timeout) copy = *timeout;
    status = KeWaitForMultipleObjects(count, objects.data(), waitType, UserRequest, UserMode, alertable,
                                      timeout ? &copy : nullptr, nullptr);
  }
  for (PVOID object : objects) ObDereferenceObject(object);
  return status;
}

NTSTATUS NtClose(HANDLE handle) { return CurrentKernel().Handles().Close(CurrentProcessId(), UserMode, handle); }

}  // namespace nb::kernel

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle) {
  using namespace nb::kernel;
  *eventHandle = nullptr;
  if (!eventName || !eventName->Buffer) return nullptr;
  std::u16string_view name(eventName->Buffer, eventName->Length / sizeof(WCHAR));
  if (name.empty()) return nullptr;  // a notification event is always a named one
  PRKEVENT event;
  // A new event starts signalled, as Windows creates it.
  if (!NT_SUCCESS(CreateEventObject(name, NotificationEvent, TRUE, &event))) return nullptr;
  // The kernel handle takes over the creation's reference; the event lives while it is open.
  if (!NT_SUCCESS(InsertHandle(event, EVENT_ALL_ACCESS, true, eventHandle))) return nullptr;
  return event;
}
