// The two notification events the service hands over with OPEN_EVENT: device-notify
// (volumes came or went) and timer-notify (an idle time-out expired). A pulse releases
// the threads waiting at that moment; later waiters see nothing.
//
// The event lock is taken after the volume-list and volume locks (the idle walk pulses
// while it holds them) and nothing is acquired under it.
#pragma once

#include <ntifs.h>

// Sets up the event lock with no events referenced, none created and events closed.
[[nodiscard]] NTSTATUS EventsInitialize();
// Drops the references OPEN_EVENT and CREATE_EVENT took (driver unload).
void EventsShutdown();

// Pulse the event when it is referenced and events are open; nothing otherwise.
void PulseDeviceNotify();
void PulseTimerNotify();
