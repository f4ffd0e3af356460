// Event objects as the system services behind the Win32 event calls see them: created or
// opened by name, reached through the calling process's handles, waited on with time-outs.
#pragma once

#include <cstdint>
#include <string_view>

#include <ntifs.h>

namespace nb::kernel {

struct Waiter;

// The alerts of one thread, as NtAlertThread gives them: Alert ends the thread's alertable
// wait under way with STATUS_ALERTED, or else its next one. A thread installs its alert
// with AlertScope; waits that are not alertable never see it. A server thread that waits
// for a client uses it to stop waiting when the client has gone.
class ThreadAlert {
 public:
  ThreadAlert() = default;
  ThreadAlert(const ThreadAlert&) = delete;
  ThreadAlert& operator=(const ThreadAlert&) = delete;

  void Alert();

  // The dispatcher's; guarded by its lock.
  bool alerted = false;
  Waiter* waiter = nullptr;
};

// Installs `alert` as the calling thread's for the enclosing scope.
class AlertScope {
 public:
  explicit AlertScope(ThreadAlert& alert);
  ~AlertScope();
  AlertScope(const AlertScope&) = delete;
  AlertScope& operator=(const AlertScope&) = delete;

 private:
  ThreadAlert* previous_;
};

// Mutant ownership. A thread's token names it as a mutant's owner for the life of the
// process and is never given to another thread (thread ids are reused; tokens are not).
uint64_t CurrentThreadToken();
// A process or the calling thread went away: the mutants it owns become abandoned, free
// for the next waiter, which gets STATUS_ABANDONED_WAIT_0 + index.
void AbandonProcessMutants(ULONG processId);
void AbandonThreadMutants();
// Unlinks an owned mutant from the owned list before it is freed.
void ForgetMutant(PRKMUTANT mutant);

// Threads waiting on the event at this moment (a test hook: a test waits until a thread
// blocks before it pulses, so pulse counts are deterministic).
size_t WaitingThreads(PRKEVENT event);

// Creates an event object; a non-empty name (a full object name such as
// "\BaseNamedObjects\NAME") that already names an event opens that event instead and
// gives STATUS_OBJECT_NAME_EXISTS. The object comes back referenced once.
// STATUS_OBJECT_NAME_INVALID for a name that is not a full object name,
// STATUS_OBJECT_TYPE_MISMATCH when the name belongs to another kind of object.
[[nodiscard]] NTSTATUS CreateEventObject(std::u16string_view name, EVENT_TYPE type, BOOLEAN initialState,
                                         PRKEVENT* event);

// The services below act in the calling thread's current process with user-mode handles.
// A non-null `chosen` is the handle value to use: the user-mode library numbers the
// handles of its process itself, and the kernel files the object under the same value
// so that the value means the same thing when it travels to a driver.
[[nodiscard]] NTSTATUS NtCreateEvent(HANDLE* handle, ACCESS_MASK access, std::u16string_view name, EVENT_TYPE type,
                                     BOOLEAN initialState, HANDLE chosen = nullptr);
// STATUS_OBJECT_NAME_NOT_FOUND when no event has the name.
[[nodiscard]] NTSTATUS NtOpenEvent(HANDLE* handle, ACCESS_MASK access, std::u16string_view name,
                                   HANDLE chosen = nullptr);
[[nodiscard]] NTSTATUS NtSetEvent(HANDLE handle, LONG* previousState);
[[nodiscard]] NTSTATUS NtResetEvent(HANDLE handle, LONG* previousState);
// Time-outs as for KeWaitForMultipleObjects; NULL waits for ever. Every handle must be an
// event or mutant handle with SYNCHRONIZE access; at most MAXIMUM_WAIT_OBJECTS of them. An alertable
// wait also ends with STATUS_ALERTED when the thread's alert (ThreadAlert) is raised.
[[nodiscard]] NTSTATUS NtWaitForSingleObject(HANDLE handle, const LARGE_INTEGER* timeout);
[[nodiscard]] NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType,
                                                const LARGE_INTEGER* timeout, BOOLEAN alertable = FALSE);
[[nodiscard]] NTSTATUS NtClose(HANDLE handle);

}  // namespace nb::kernel
