// The names file objects were opened with, so that later requests on a file object
// (which carry no name) can be matched against the lock table. Hashed by file-object
// address into 128 buckets under one reader/writer lock.
#pragma once

#include <ntifs.h>

inline constexpr ULONG NAME_CACHE_BUCKETS = 128;

[[nodiscard]] NTSTATUS NameCacheInitialize();
void NameCacheShutdown();  // frees every node

// Records `name` (length in bytes) for the file object, replacing any earlier record.
[[nodiscard]] NTSTATUS NameCacheRecord(PFILE_OBJECT fileObject, const WCHAR* name, ULONG length);
// Forgets the file object's record; STATUS_NO_SUCH_DEVICE when it had none.
NTSTATUS NameCacheForget(PFILE_OBJECT fileObject);
ULONG NameCacheCount();

// A copy of a file object's recorded name, taken under the cache lock so that a
// concurrent close cannot free it while a request still uses it.
class CachedName {
 public:
  explicit CachedName(PFILE_OBJECT fileObject);
  ~CachedName();
  CachedName(const CachedName&) = delete;
  CachedName& operator=(const CachedName&) = delete;

  bool Found() const { return found_; }
  const WCHAR* Name() const { return name_; }  // NUL-terminated
  ULONG Length() const { return length_; }     // bytes

 private:
  static constexpr ULONG kInlineUnits = 520;
  bool found_ = false;
  WCHAR inline_[kInlineUnits];
  WCHAR* name_ = inline_;
  ULONG length_ = 0;
};
