// The message log: a list of records, free ones taken from the front, used ones moved
// to the tail, so reads return messages oldest first and nothing is ever overwritten.
#include "log.h"

#include <new>

#include "identity.h"
#include "nb/resource_guard.h"

namespace {

constexpr ULONG kNodeFree = 1;
constexpr ULONG kNodeUsed = 2;
constexpr size_t kMessageBytes = 512;

struct LogNode {
  LIST_ENTRY link;
  ULONG state;
  NBFS_LOG_RECORD record;
};

// Guarded by `lock`.
struct MessageLog {
  ERESOURCE lock;
  LIST_ENTRY nodes;
  bool stopped = true;
  ULONG total = 0;
  ULONG used = 0;
};

MessageLog* messageLog = nullptr;

const char* LevelFormat(ULONG level) {
  switch (level) {
    case LOG_NOTICE:
      return "%2.2d/%2.2d/%4.4d %2.2d:%2.2d:%2.2d     NOTICE:[%s(%d)]: %s";
    case LOG_WARN:
      return "%2.2d/%2.2d/%4.4d %2.2d:%2.2d:%2.2d     WARN:[%s(%d)]: %s";
    case LOG_ERROR:
      return "%2.2d/%2.2d/%4.4d %2.2d:%2.2d:%2.2d     ERROR:[%s(%d)]: %s";
    case LOG_PANIC:
      return "%2.2d/%2.2d/%4.4d %2.2d:%2.2d:%2.2d     PANIC:[%s(%d)]: %s";
    default:
      return nullptr;
  }
}

// Frees every node; the log lock is held exclusively.
void FreeNodesLocked(MessageLog& log) {
  while (!IsListEmpty(&log.nodes)) {
    LIST_ENTRY* link = RemoveHeadList(&log.nodes);
    ExFreePoolWithTag(CONTAINING_RECORD(link, LogNode, link), 'gLbN');
  }
  log.stopped = true;
  log.total = log.used = 0;
}

}  // namespace

NTSTATUS LogInitialize() {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(MessageLog), 'gLbN');
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  auto* log = new (memory) MessageLog();
  NTSTATUS status = ExInitializeResourceLite(&log->lock);
  if (!NT_SUCCESS(status)) {
    log->~MessageLog();
    ExFreePoolWithTag(memory, 'gLbN');
    return status;
  }
  InitializeListHead(&log->nodes);
  messageLog = log;
  return STATUS_SUCCESS;
}

void LogShutdown() {
  MessageLog* log = messageLog;
  if (!log) return;
  {
    nb::ExclusiveLock guard(log->lock);
    FreeNodesLocked(*log);
  }
  messageLog = nullptr;
  ExDeleteResourceLite(&log->lock);
  log->~MessageLog();
  ExFreePoolWithTag(log, 'gLbN');
}

void nbfsLog(ULONG level, const char* format, ...) {
  MessageLog* log = messageLog;
  if (!log) return;
  char message[kMessageBytes];
  va_list args;
  va_start(args, format);
  int length = _vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= sizeof message) return;  // too long: dropped

  CHAR name[NBFS_PROC_NAME_BYTES];
  ULONG id;
  CallerIdentity(name, &id);

  nb::ExclusiveLock guard(log->lock);
  if (log->stopped) return;
  LARGE_INTEGER systemTime;
  LARGE_INTEGER localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);

  LogNode* node = nullptr;
  for (LIST_ENTRY* link = log->nodes.Flink; link != &log->nodes; link = link->Flink) {
    auto* candidate = CONTAINING_RECORD(link, LogNode, link);
    if (candidate->state == kNodeFree) {
      node = candidate;
      break;
    }
  }
  if (!node) return;  // full: records are never overwritten
  RtlZeroMemory(node->record.text, sizeof node->record.text);
  if (const char* lineFormat = LevelFormat(level)) {
    _snprintf(node->record.text, sizeof node->record.text - 1, lineFormat, fields.Month, fields.Day, fields.Year,
              fields.Hour, fields.Minute, fields.Second, name, static_cast<int>(id), message);
  }
  node->state = kNodeUsed;
  ++log->used;
  RemoveEntryList(&node->link);
  InsertTailList(&log->nodes, &node->link);
}

NTSTATUS LogStart(ULONG count) {
  if (count > NBFS_LOG_MAX_RECORDS) return STATUS_INVALID_PARAMETER;
  MessageLog& log = *messageLog;
  nb::ExclusiveLock guard(log.lock);
  if (!log.stopped) return STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < count; ++i) {
    auto* node = static_cast<LogNode*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(LogNode), 'gLbN'));
    if (!node) {
      FreeNodesLocked(log);
      return STATUS_UNSUCCESSFUL;
    }
    node->state = kNodeFree;
    InsertTailList(&log.nodes, &node->link);
  }
  log.stopped = false;
  log.total = count;
  log.used = 0;
  return STATUS_SUCCESS;
}

void LogStop() {
  MessageLog& log = *messageLog;
  nb::ExclusiveLock guard(log.lock);
  FreeNodesLocked(log);
}

void LogCounts(ULONG* total, ULONG* used) {
  MessageLog& log = *messageLog;
  nb::SharedLock guard(log.lock);
  *total = log.total;
  *used = log.used;
}

NTSTATUS LogCheck(ULONG* records, ULONG* used) {
  MessageLog& log = *messageLog;
  ULONG countedRecords = 0;
  ULONG countedUsed = 0;
  ULONG total;
  ULONG usedRecorded;
  {
    nb::SharedLock guard(log.lock);
    if (log.stopped) {
      *records = *used = 0;
      return STATUS_UNSUCCESSFUL;
    }
    for (LIST_ENTRY* link = log.nodes.Flink; link != &log.nodes; link = link->Flink) {
      ++countedRecords;
      if (CONTAINING_RECORD(link, LogNode, link)->state == kNodeUsed) ++countedUsed;
    }
    total = log.total;
    usedRecorded = log.used;
  }
  *records = countedRecords;
  *used = countedUsed;
  if (countedRecords == total && countedUsed == usedRecorded) return STATUS_SUCCESS;
  // Written after the lock is released: the writer takes the same lock.
  nbfsLog(LOG_ERROR, "PANIC: invalid log info(%x, %x:%x, %x)\n", countedRecords, countedUsed, total, usedRecorded);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS LogRead(NBFS_LOG_RECORD* record) {
  MessageLog& log = *messageLog;
  nb::ExclusiveLock guard(log.lock);
  if (log.stopped) return STATUS_UNSUCCESSFUL;
  for (LIST_ENTRY* link = log.nodes.Flink; link != &log.nodes; link = link->Flink) {
    auto* node = CONTAINING_RECORD(link, LogNode, link);
    if (node->state != kNodeUsed) continue;
    RtlCopyMemory(record, &node->record, sizeof *record);
    RtlZeroMemory(&node->record, sizeof node->record);
    node->state = kNodeFree;
    --log.used;
    RemoveEntryList(&node->link);
    InsertTailList(&log.nodes, &node->link);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}
