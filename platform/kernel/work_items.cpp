// System worker threads and the I/O manager's work items on them.
#include <atomic>
#include <cassert>
#include <new>

#include "nb/kernel/clock.h"
#include "nb/kernel/kernel.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  std::atomic<bool> queued;
};

namespace nb::kernel {

namespace {
constexpr ULONG kWorkItemTag = 'iWbN';
thread_local bool onWorkerThread = false;
}  // namespace

SystemWorkers::~SystemWorkers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SystemWorkers::Queue(std::function<void()> routine) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(routine));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  changed_.notify_all();
}

void SystemWorkers::Drain() {
  assert(!onWorkerThread && "draining the system workers from a work item");
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stopping_ || (queue_.empty() && !running_); });
}

void SystemWorkers::Run() {
  KernelScope bound(kernel_);
  onWorkerThread = true;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    std::function<void()> routine = std::move(queue_.front());
    queue_.pop_front();
    running_ = true;
    lock.unlock();
    routine();
    lock.lock();
    running_ = false;
    changed_.notify_all();
  }
  queue_.clear();
  running_ = false;
  changed_.notify_all();
}

}  // namespace nb::kernel

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject) {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), nb::kernel::kWorkItemTag);
  if (!memory) return nullptr;
  return new (memory) _IO_WORKITEM{deviceObject, false};
}

VOID IoFreeWorkItem(PIO_WORKITEM ioWorkItem) {
  assert(!ioWorkItem->queued && "freeing a queued work item");
  ioWorkItem->~_IO_WORKITEM();
  ExFreePoolWithTag(ioWorkItem, nb::kernel::kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine, WORK_QUEUE_TYPE, PVOID context) {
  [[maybe_unused]] bool wasQueued = ioWorkItem->queued.exchange(true);
  assert(!wasQueued && "queuing a work item that is already queued");
  nb::kernel::CurrentKernel().Workers().Queue([ioWorkItem, workerRoutine, context] {
    // Once its routine starts the item may be queued again (or freed by the routine).
    PDEVICE_OBJECT device = ioWorkItem->device;
    ioWorkItem->queued = false;
    workerRoutine(device, context);
  });
}
