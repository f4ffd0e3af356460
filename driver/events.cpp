// Notification events: CREATE_EVENT, OPEN_EVENT, CLOSE_EVENT and the pulses.
#include "events.h"

#include "control_request.h"
#include "log.h"
#include "nb/resource_guard.h"

namespace {

constexpr ULONG kStateTag = 'vEbN';

struct NotifyEvents {
  ERESOURCE lock;  // guards the three fields below
  PKEVENT deviceNotify;
  PKEVENT timerNotify;
  UCHAR open;
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

}  // namespace

NTSTATUS EventsInitialize() {
  auto* state = static_cast<NotifyEvents*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NotifyEvents), kStateTag));
  if (!state) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ExInitializeResourceLite(&state->lock);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(state, kStateTag);
    return status;
  }
  events = state;
  return STATUS_SUCCESS;
}

void EventsShutdown() {
  if (!events) return;
  if (events->deviceNotify) ObDereferenceObject(events->deviceNotify);
  if (events->timerNotify) ObDereferenceObject(events->timerNotify);
  ExDeleteResourceLite(&events->lock);
  ExFreePoolWithTag(events, kStateTag);
  events = nullptr;
}

void PulseDeviceNotify() { Pulse(&NotifyEvents::deviceNotify); }

void PulseTimerNotify() { Pulse(&NotifyEvents::timerNotify); }

// CREATE_EVENT: creates (or opens) the named notification event and clears it. Its
// kernel handle stays open, so the event lives on for the service to open by name.
NTSTATUS ControlCreateEvent(const ControlRequest& request, ULONG_PTR* information) {
  *information = 0;
  // The name must end within the request and fit a counted string.
  const auto* name = static_cast<const WCHAR*>(request.buffer);
  ULONG units = request.inputLength / sizeof(WCHAR);
  ULONG length = 0;
  while (length < units && name[length] != 0) ++length;
  if (length == units || length * sizeof(WCHAR) > 0xFFFC) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING eventName;
  RtlInitUnicodeString(&eventName, name);
  HANDLE handle;
  PKEVENT event = IoCreateNotificationEvent(&eventName, &handle);
  if (!event) {
    nbfsLog(LOG_ERROR, "NBFS CREATE EVENT: cannot create Event\n");
    return STATUS_UNSUCCESSFUL;
  }
  KeClearEvent(event);
  return STATUS_SUCCESS;
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
