// Notification events: CREATE_EVENT, OPEN_EVENT, CLOSE_EVENT and the pulses.
#include "events.h"

#include "control_request.h"
#include "log.h"
#include "nb/resource_guard.h"

namespace {

constexpr ULONG kStateTag = 'vEbN';
constexpr ULONG kCreatedTag = 'cEbN';
// Named events CREATE_EVENT keeps alive at once: the product names a handful; the bound
// keeps any opener of the control device from filling the kernel with events.
constexpr ULONG kMaxCreatedEvents = 64;

// A named event that CREATE_EVENT made: one reference per event, held until unload so
// that user mode can open it by name.
struct CreatedEvent {
  LIST_ENTRY link;
  PKEVENT event;
};

struct NotifyEvents {
  ERESOURCE lock;  // guards the fields below
  PKEVENT deviceNotify;
  PKEVENT timerNotify;
  UCHAR open;
  LIST_ENTRY created;  // CreatedEvent nodes
  ULONG createdCount;
};

NotifyEvents* events = nullptr;

HANDLE HandleFromWire(ULONG value) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)); }

void Pulse(PKEVENT NotifyEvents::*which) {
  nb::ExclusiveLock guard(events->lock);
  PKEVENT event = events->*which;
  if (!event || !events->open) return;
  // Set and cleared again in one step: a waiter released by this pulse that waits again
  // at once must not see the event still set and take the pulse twice.
  KePulseEvent(event, 0, FALSE);
}

// References the event object behind a handle of the calling process. Only an event is
// accepted: pulsing another kind of object would corrupt it.
NTSTATUS ReferenceEvent(ULONG handle, PKEVENT* event) {
  PVOID object;
  NTSTATUS status = ObReferenceObjectByHandle(HandleFromWire(handle), 0, *ExEventObjectType, UserMode, &object,
                                              nullptr);
  *event = NT_SUCCESS(status) ? static_cast<PKEVENT>(object) : nullptr;
  return status;
}

// Keeps one reference on a created event unless one is kept already. The node is
// allocated before the lock is taken and freed when it is not needed.
NTSTATUS KeepCreatedEvent(PKEVENT event) {
  auto* node = static_cast<CreatedEvent*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(CreatedEvent), kCreatedTag));
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_SUCCESS;
  {
    nb::ExclusiveLock guard(events->lock);
    bool kept = false;
    for (LIST_ENTRY* link = events->created.Flink; link != &events->created && !kept; link = link->Flink) {
      kept = CONTAINING_RECORD(link, CreatedEvent, link)->event == event;
    }
    if (!kept && events->createdCount >= kMaxCreatedEvents) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!kept) {
      ObReferenceObject(event);
      node->event = event;
      InsertTailList(&events->created, &node->link);
      ++events->createdCount;
      node = nullptr;
    }
  }
  if (node) ExFreePoolWithTag(node, kCreatedTag);
  return status;
}

}  // namespace

NTSTATUS EventsInitialize() {
  auto* state = static_cast<NotifyEvents*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NotifyEvents), kStateTag));
  if (!state) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ExInitializeResourceLite(&state->lock);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(state, kStateTag);
    return status;
  }
  InitializeListHead(&state->created);
  events = state;
  return STATUS_SUCCESS;
}

void EventsShutdown() {
  if (!events) return;
  while (!IsListEmpty(&events->created)) {
    auto* node = CONTAINING_RECORD(RemoveHeadList(&events->created), CreatedEvent, link);
    ObDereferenceObject(node->event);
    ExFreePoolWithTag(node, kCreatedTag);
  }
  if (events->deviceNotify) ObDereferenceObject(events->deviceNotify);
  if (events->timerNotify) ObDereferenceObject(events->timerNotify);
  ExDeleteResourceLite(&events->lock);
  ExFreePoolWithTag(events, kStateTag);
  events = nullptr;
}

void PulseDeviceNotify() { Pulse(&NotifyEvents::deviceNotify); }

void PulseTimerNotify() { Pulse(&NotifyEvents::timerNotify); }

// CREATE_EVENT: creates (or opens) the named notification event and clears it. The
// driver keeps one reference per event until unload, so the event lives on for user mode
// to open by name, and closes the kernel handle the creation gave it.
NTSTATUS ControlCreateEvent(const ControlRequest& request, ULONG_PTR* information) {
  *information = 0;
  UNICODE_STRING eventName;
  NTSTATUS status = ReadEventName(request, &eventName);
  if (!NT_SUCCESS(status)) return status;
  HANDLE handle;
  PKEVENT event = IoCreateNotificationEvent(&eventName, &handle);
  if (!event) {
    nbfsLog(LOG_ERROR, "NBFS CREATE EVENT: cannot create Event\n");
    return STATUS_UNSUCCESSFUL;
  }
  KeClearEvent(event);
  status = KeepCreatedEvent(event);
  (void)ZwClose(handle);
  if (!NT_SUCCESS(status)) nbfsLog(LOG_ERROR, "NBFS CREATE EVENT: cannot keep Event, err=%x\n", status);
  return status;
}

// OPEN_EVENT: takes the device-notify and timer-notify events by handle, clears both and
// opens pulsing. References of an earlier OPEN_EVENT are dropped. A handle that is not
// an open event handle of the caller fails the request and changes nothing.
NTSTATUS ControlOpenEvent(const ControlRequest& request, ULONG_PTR* information) {
  *information = 0;
  if (request.inputLength < 2 * sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  ULONG handles[2];
  RtlCopyMemory(handles, request.buffer, sizeof handles);
  PKEVENT deviceNotify;
  PKEVENT timerNotify = nullptr;
  NTSTATUS status = ReferenceEvent(handles[0], &deviceNotify);
  if (NT_SUCCESS(status)) {
    status = ReferenceEvent(handles[1], &timerNotify);
    if (!NT_SUCCESS(status)) ObDereferenceObject(deviceNotify);
  }
  if (!NT_SUCCESS(status)) {
    nbfsLog(LOG_ERROR, "NBFS OPEN EVENT: cannot reference event, err=%x\n", status);
    return status;
  }
  PKEVENT oldDevice;
  PKEVENT oldTimer;
  {
    nb::ExclusiveLock guard(events->lock);
    oldDevice = events->deviceNotify;
    oldTimer = events->timerNotify;
    events->deviceNotify = deviceNotify;
    events->timerNotify = timerNotify;
    KeClearEvent(deviceNotify);
    KeClearEvent(timerNotify);
    events->open = 1;
  }
  if (oldDevice) ObDereferenceObject(oldDevice);
  if (oldTimer) ObDereferenceObject(oldTimer);
  return STATUS_SUCCESS;
}

// CLOSE_EVENT: stops the pulses; the references stay until the next OPEN_EVENT.
NTSTATUS ControlCloseEvent(const ControlRequest&, ULONG_PTR* information) {
  *information = 0;
  nb::ExclusiveLock guard(events->lock);
  events->open = 0;
  return STATUS_SUCCESS;
}
