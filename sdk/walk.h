// Walks over the entries of an open database, shared by the lock and account calls.
// Every datum gdbm hands out is freed as soon as it has been used.
#pragma once

#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "VAULTSdk.h"
#include "records.h"

namespace vault {

// A datum from gdbm, freed when it goes unless released.
class OwnedDatum {
 public:
  explicit OwnedDatum(datum value) : value_(value) {}
  ~OwnedDatum() { std::free(value_.dptr); }
  OwnedDatum(const OwnedDatum&) = delete;
  OwnedDatum& operator=(const OwnedDatum&) = delete;

  bool empty() const { return value_.dptr == nullptr; }
  // Frees the datum held and takes `value`.
  void Reset(datum value) {
    std::free(value_.dptr);
    value_ = value;
  }
  const datum& get() const { return value_; }
  datum release() {
    datum value = value_;
    value_ = datum{nullptr, 0};
    return value;
  }

 private:
  datum value_;
};

// A record's bytes as key and content. The padding of a lock is stored as zeros.
template <class Record>
struct StoredBytes {
  explicit StoredBytes(const Record& record) : copy(record) {
    if constexpr (requires { copy.padding; }) std::memset(copy.padding, 0, sizeof copy.padding);
  }
  datum get() { return datum{reinterpret_cast<char*>(&copy), static_cast<int>(sizeof copy)}; }
  Record copy;
};

// Fetches and decodes the entry under `key`; false when the fetch fails or the record is
// not well formed.
template <class Record>
bool FetchRecord(GDBM_FILE db, const datum& key, Record* out) {
  OwnedDatum content(gdbm_fetch(db, key));
  if (content.empty() || content.get().dsize < 0) return false;
  return DecodeRecord(content.get().dptr, static_cast<size_t>(content.get().dsize), out);
}

// The number of keys.
int CountKeys(GDBM_FILE db);

// The first entry in key order whose record has the identity of `wanted`: its key is
// handed back still allocated (the caller frees it).
template <class Record>
bool FindEntry(GDBM_FILE db, datum& key, const Record& wanted) {
  OwnedDatum current(gdbm_firstkey(db));
  while (!current.empty()) {
    Record stored;
    if (FetchRecord(db, current.get(), &stored) && SameIdentity(stored, wanted)) {
      key = current.release();
      return true;
    }
    current.Reset(gdbm_nextkey(db, current.get()));
  }
  return false;
}

// Copies up to `max` records in key order into `buffer`; entries that cannot be fetched
// or decoded use no slot.
template <class Record>
int CopyRecords(GDBM_FILE db, Record* buffer, int max) {
  if (!buffer || max <= 0) return 0;
  int copied = 0;
  OwnedDatum current(gdbm_firstkey(db));
  while (!current.empty() && copied < max) {
    Record stored;
    if (FetchRecord(db, current.get(), &stored)) buffer[copied++] = stored;
    current.Reset(gdbm_nextkey(db, current.get()));
  }
  return copied;
}

}  // namespace vault

namespace vault {

// Stores a new entry with the record's bytes as key and content; fails on an existing key.
template <class Record>
bool InsertRecord(GDBM_FILE db, const Record& record) {
  StoredBytes<Record> bytes(record);
  return gdbm_store(db, bytes.get(), bytes.get(), GDBM_INSERT) == 0;
}

// Replaces the content under a found key, which stays the key it was first added under.
template <class Record>
bool ReplaceRecord(GDBM_FILE db, const datum& key, const Record& record) {
  StoredBytes<Record> bytes(record);
  return gdbm_store(db, key, bytes.get(), GDBM_REPLACE) == 0;
}

}  // namespace vault
