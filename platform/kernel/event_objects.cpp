// Event objects of the object manager: named and unnamed events, the handle services on
// them, and IoCreateNotificationEvent.
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

namespace nb::kernel {

namespace {

std::mutex& NamedEventsLock() { return CurrentKernel().NamedEventsLock(); }

bool ValidObjectName(std::u16string_view name) {
  return name.size() > 1 && name.front() == u'\\' && name.back() != u'\\';
}

ULONG CurrentProcessId() { return ProcessTable::IdOf(CurrentProcess()); }

void DestroyEvent(void* object) {
  {
    std::lock_guard lock(NamedEventsLock());
    CurrentKernel().Namespace().RemoveObject(object);
  }
  delete static_cast<PRKEVENT>(object);
}

// The named event, referenced, or null; the named-events lock is held. An event whose last
// reference is already gone loses its name here so that a new one can take it.
PRKEVENT ReferenceNamedEvent(std::u16string_view name) {
  Kernel& kernel = CurrentKernel();
  void* object = kernel.Namespace().Lookup(name, ObjectKind::kEvent);
  if (!object) return nullptr;
  if (kernel.References().TryReference(object)) return static_cast<PRKEVENT>(object);
  (void)kernel.Namespace().Remove(name);
  return nullptr;
}

// Whether the name belongs to an object of another kind.
bool NameTakenByOtherKind(std::u16string_view name) {
  ResolvedName resolved;
  return NT_SUCCESS(CurrentKernel().Namespace().Resolve(name, &resolved)) && resolved.remainder.empty() &&
         resolved.kind != ObjectKind::kEvent;
}

NTSTATUS InsertHandle(PRKEVENT event, ACCESS_MASK access, bool kernelHandle, HANDLE* handle,
                      HANDLE chosen = nullptr) {
  HandleTables& handles = CurrentKernel().Handles();
  NTSTATUS status;
  if (chosen) {
    status = handles.InsertAt(CurrentProcessId(), chosen, event, *ExEventObjectType, access);
    if (NT_SUCCESS(status)) *handle = chosen;
  } else {
    status = handles.Insert(CurrentProcessId(), kernelHandle, event, *ExEventObjectType, access, handle);
  }
  if (!NT_SUCCESS(status)) ObDereferenceObject(event);
  return status;
}

NTSTATUS ReferenceEvent(HANDLE handle, ACCESS_MASK access, PRKEVENT* event) {
  HandleLookup lookup;
  NTSTATUS status = CurrentKernel().Handles().Reference(CurrentProcessId(), UserMode, handle, *ExEventObjectType,
                                                        access, &lookup);
  *event = static_cast<PRKEVENT>(lookup.object);
  return status;
}

}  // namespace

NTSTATUS CreateEventObject(std::u16string_view name, EVENT_TYPE type, BOOLEAN initialState, PRKEVENT* event) {
  *event = nullptr;
  if (!name.empty() && !ValidObjectName(name)) return STATUS_OBJECT_NAME_INVALID;
  Kernel& kernel = CurrentKernel();
  std::unique_lock lock(kernel.NamedEventsLock(), std::defer_lock);
  if (!name.empty()) {
    lock.lock();
    if ((*event = ReferenceNamedEvent(name))) return STATUS_OBJECT_NAME_EXISTS;
    if (NameTakenByOtherKind(name)) return STATUS_OBJECT_TYPE_MISMATCH;
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
    std::lock_guard lock(NamedEventsLock());
    event = ReferenceNamedEvent(name);
    if (!event) return NameTakenByOtherKind(name) ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_OBJECT_NAME_NOT_FOUND;
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
    PRKEVENT event;
    status = ReferenceEvent(handles[i], SYNCHRONIZE, &event);
    if (NT_SUCCESS(status)) objects.push_back(event);
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
