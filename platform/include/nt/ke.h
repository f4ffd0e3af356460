// Kernel dispatcher services: IRQL, spin locks, event objects and waits, the I/O
// manager's once-per-second device timers and work items run by system worker threads.
#pragma once

#include "nb/basetypes.h"
#include "nt/io.h"
#include "nt/ps.h"
#include "nt/rtl.h"

// Interrupt request levels. Timer routines run at DISPATCH_LEVEL, where nothing may be
// waited on (no resources, no waits with a non-zero time-out).
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
VOID KeLowerIrql(KIRQL newIrql);

// The VPB lock: guards the mount state of every VPB (its DeviceObject and VPB_MOUNTED).
VOID IoAcquireVpbSpinLock(PKIRQL irql);
VOID IoReleaseVpbSpinLock(KIRQL irql);

// A spin lock: usable at DISPATCH_LEVEL; holding it raises the thread to DISPATCH_LEVEL.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);

// Event objects. A notification event stays signalled until cleared and releases every
// waiter; a synchronization event releases one waiter and resets itself.
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

// Every waitable object begins with this header; the kernel's dispatcher lock guards it.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // EVENT_TYPE
  UCHAR Size;
  LONG SignalState;
  LIST_ENTRY WaitListHead;  // wait blocks of the threads waiting on the object
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PRKEVENT;
// PKEVENT is declared by nt/io.h.

// Mutant objects (the objects behind Win32 mutexes): owned by one thread at a time, which
// may acquire it again (SignalState 1 - count while owned, 1 when free). A satisfied wait
// takes ownership; a mutant whose owner went away without releasing it is abandoned, and
// the wait that takes it next reports STATUS_ABANDONED_WAIT_0 + its index.
#define MutantObject 2  // DISPATCHER_HEADER.Type of a mutant, beside the EVENT_TYPE values
typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  ULONG OwnerProcess;       // process id of the owner
  ULONGLONG OwnerThread;    // the owner thread's token; 0 while free
  BOOLEAN Abandoned;        // the owner went away; cleared when a wait takes it
  LIST_ENTRY MutantListEntry;  // in the kernel's list of owned mutants while owned
} KMUTANT, *PRKMUTANT;

#ifndef MUTANT_QUERY_STATE
#define MUTANT_QUERY_STATE 0x0001
#define MUTANT_ALL_ACCESS 0x001F0001
#endif

// Initialises a mutant, owned by the calling thread when `initialOwner`.
VOID KeInitializeMutant(PRKMUTANT mutant, BOOLEAN initialOwner);
// Releases one acquisition by the calling thread: STATUS_MUTANT_NOT_OWNED when another
// thread owns it or none does. `previousCount` gets the SignalState before the release.
NTSTATUS KeReleaseMutantObject(PRKMUTANT mutant, LONG* previousCount);

#ifndef EVENT_QUERY_STATE
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003
#endif

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
// Signals the event and returns its previous state.
LONG KeSetEvent(PRKEVENT event, LONG increment, BOOLEAN wait);
VOID KeClearEvent(PRKEVENT event);
// Atomically signals the event, releases the threads waiting at this moment and resets
// it: a released thread that waits again at once is not released a second time, as it
// can be between KeSetEvent and KeClearEvent. Returns the previous state.
LONG KePulseEvent(PRKEVENT event, LONG increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef struct _KWAIT_BLOCK* PKWAIT_BLOCK;
#define THREAD_WAIT_OBJECTS 3
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif

// Waits until the object is signalled or the time-out passes (100 ns units; negative is
// relative, positive an absolute system time, NULL waits for ever). STATUS_WAIT_0 or
// STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout);
// WaitAny returns STATUS_WAIT_0 + the index of the object that satisfied the wait; WaitAll
// returns STATUS_WAIT_0 once all are signalled at the same time. The platform keeps its
// own wait blocks: waitBlockArray may be NULL for any count.
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON waitReason,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray);

// Creates, or opens when the name exists, a named notification event (for example
// "\BaseNamedObjects\NAME") and returns it with a kernel handle that keeps it alive.
// NULL when the name is invalid, taken by another kind of object, or memory is short.
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle);

// The I/O timer of a device: once initialised and started its routine runs once per
// second at DISPATCH_LEVEL in the System process.
typedef VOID (*PIO_TIMER_ROUTINE)(PDEVICE_OBJECT deviceObject, PVOID context);
NTSTATUS IoInitializeTimer(PDEVICE_OBJECT deviceObject, PIO_TIMER_ROUTINE timerRoutine, PVOID context);
VOID IoStartTimer(PDEVICE_OBJECT deviceObject);
// Stops the timer; when it returns, the routine is not running and will not run again.
VOID IoStopTimer(PDEVICE_OBJECT deviceObject);

// Work items: a routine run later at PASSIVE_LEVEL by a system worker thread in the
// System process. Queuing is allowed at DISPATCH_LEVEL; an item is queued once at a time.
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID (*PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT deviceObject, PVOID context);
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 } WORK_QUEUE_TYPE;
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject);
VOID IoFreeWorkItem(PIO_WORKITEM ioWorkItem);
VOID IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine, WORK_QUEUE_TYPE queueType,
                     PVOID context);
