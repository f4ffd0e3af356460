// The file-object name cache.
#include "name_cache.h"

#include <new>

#include "log.h"
#include "nb/resource_guard.h"

namespace {

constexpr ULONG kCacheTag = 'cNbN';

struct NameNode {
  LIST_ENTRY link;
  PFILE_OBJECT key;  // identity only; never dereferenced
  ULONG length;      // bytes
  WCHAR name[1];     // `length` bytes and a NUL
};

// Guarded by `lock`.
struct NameCache {
  ERESOURCE lock;
  LIST_ENTRY buckets[NAME_CACHE_BUCKETS];
  ULONG count;
};

NameCache* cache = nullptr;

LIST_ENTRY& BucketOf(PFILE_OBJECT fileObject) {
  return cache->buckets[(reinterpret_cast<ULONG_PTR>(fileObject) >> 2) % NAME_CACHE_BUCKETS];
}

NameNode* FindLocked(PFILE_OBJECT fileObject) {
  LIST_ENTRY& bucket = BucketOf(fileObject);
  for (LIST_ENTRY* link = bucket.Flink; link != &bucket; link = link->Flink) {
    auto* node = CONTAINING_RECORD(link, NameNode, link);
    if (node->key == fileObject) return node;
  }
  return nullptr;
}

void RemoveLocked(NameNode* node) {
  RemoveEntryList(&node->link);
  ExFreePoolWithTag(node, kCacheTag);
  --cache->count;
}

}  // namespace

NTSTATUS NameCacheInitialize() {
  auto* created = static_cast<NameCache*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NameCache), kCacheTag));
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ExInitializeResourceLite(&created->lock);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(created, kCacheTag);
    return status;
  }
  for (auto& bucket : created->buckets) InitializeListHead(&bucket);
  created->count = 0;
  cache = created;
  return STATUS_SUCCESS;
}

void NameCacheShutdown() {
  if (!cache) return;
  {
    nb::ExclusiveLock guard(cache->lock);
    for (auto& bucket : cache->buckets) {
      while (!IsListEmpty(&bucket)) RemoveLocked(CONTAINING_RECORD(bucket.Flink, NameNode, link));
    }
  }
  ExDeleteResourceLite(&cache->lock);
  ExFreePoolWithTag(cache, kCacheTag);
  cache = nullptr;
}

NTSTATUS NameCacheRecord(PFILE_OBJECT fileObject, const WCHAR* name, ULONG length) {
  auto* node = static_cast<NameNode*>(
      ExAllocatePoolWithTag(NonPagedPool, offsetof(NameNode, name) + length + sizeof(WCHAR), kCacheTag));
  if (!node) {
    nbfsLog(LOG_ERROR, "cannot alloc hash buffer\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  node->key = fileObject;
  node->length = length;
  RtlCopyMemory(node->name, name, length);
  nb::ExclusiveLock guard(cache->lock);
  if (NameNode* old = FindLocked(fileObject)) RemoveLocked(old);
  InsertTailList(&BucketOf(fileObject), &node->link);
  ++cache->count;
  return STATUS_SUCCESS;
}

NTSTATUS NameCacheForget(PFILE_OBJECT fileObject) {
  nb::ExclusiveLock guard(cache->lock);
  NameNode* node = FindLocked(fileObject);
  if (!node) return STATUS_NO_SUCH_DEVICE;
  RemoveLocked(node);
  return STATUS_SUCCESS;
}

ULONG NameCacheCount() {
  nb::SharedLock guard(cache->lock);
  return cache->count;
}

CachedName::CachedName(PFILE_OBJECT fileObject) {
  nb::SharedLock guard(cache->lock);
  NameNode* node = FindLocked(fileObject);
  if (!node) return;
  ULONG units = node->length / sizeof(WCHAR);
  if (units >= kInlineUnits) {
    name_ = static_cast<WCHAR*>(ExAllocatePoolWithTag(NonPagedPool, (units + 1) * sizeof(WCHAR), kCacheTag));
    if (!name_) {
      // Without memory for the copy the request is treated as if the name were unknown.
      name_ = inline_;
      return;
    }
  }
  RtlCopyMemory(name_, node->name, node->length);
  name_[units] = 0;
  length_ = units * sizeof(WCHAR);
  found_ = true;
}

CachedName::~CachedName() {
  if (name_ != inline_) ExFreePoolWithTag(name_, kCacheTag);
}
