// Fuzz target for the store's reading of records: arbitrary key and content bytes are
// decoded as both record kinds, then stored in a lock and a user database and walked by
// every CMdb call. Input: one byte of choices, the key's length (two bytes, little-endian),
// the key, the content.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include <gdbm.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/win/drives.h"
#include "nb/win/host_path.h"
#include "records.h"

namespace {

constexpr const char16_t* kLockDb = u"C:\\NB\\lock";
constexpr const char16_t* kUserDb = u"C:\\NB\\user";

std::string driveFolder;

void RemoveDrive() {
  std::error_code ignored;
  std::filesystem::remove_all(driveFolder, ignored);
}

// A drive C: in a fresh folder (in memory when /dev/shm is there) with the store installed.
bool SetUpDrive() {
  driveFolder = access("/dev/shm", W_OK) == 0 ? "/dev/shm/nbfuzz-XXXXXX" : "/tmp/nbfuzz-XXXXXX";
  if (!mkdtemp(driveFolder.data())) abort();
  atexit(RemoveDrive);
  nb::win::MapDrive(u'C', driveFolder);
  if (!InstallLockStore(u"C:\\NB")) abort();
  return true;
}

// Every string of a decoded record ends inside its field.
template <size_t units>
void CheckTerminated(const WCHAR (&field)[units]) {
  for (WCHAR unit : field) {
    if (unit == 0) return;
  }
  abort();
}

void Decode(const uint8_t* content, size_t size) {
  _LCK_INFORMAION lock;
  if (vault::DecodeLock(content, size, &lock)) {
    CheckTerminated(lock.path);
    CheckTerminated(lock.owner);
    if (!vault::SameLock(lock, lock)) abort();
  }
  _PWDTBL account;
  if (vault::DecodePwd(content, size, &account)) {
    CheckTerminated(account.user);
    CheckTerminated(account.password);
    CheckTerminated(account.comment);
    if (!vault::SameUser(account, account) || !vault::SamePassword(account, account)) abort();
  }
}

// Replaces the database's entries by the one entry key -> content.
void StoreOnly(const char* database, const uint8_t* key, size_t keySize, const uint8_t* content,
               size_t contentSize) {
  std::string file = *nb::win::HostPathOf(database);
  GDBM_FILE db = gdbm_open(file.c_str(), 1024, GDBM_NEWDB, 0664, nullptr);
  if (!db) abort();
  // gdbm refuses a null pointer even for no bytes.
  static const char nothing = 0;
  datum k{keySize ? reinterpret_cast<char*>(const_cast<uint8_t*>(key)) : const_cast<char*>(&nothing),
          static_cast<int>(keySize)};
  datum c{contentSize ? reinterpret_cast<char*>(const_cast<uint8_t*>(content)) : const_cast<char*>(&nothing),
          static_cast<int>(contentSize)};
  (void)gdbm_store(db, k, c, GDBM_REPLACE);
  gdbm_close(db);
}

void WalkLocks(uint8_t choices) {
  CMdb store(kLockDb, (choices & 2) != 0);
  _LCK_INFORMAION slots[2];
  int listed = store.GetLock(slots, 2);
  if (listed < 0 || listed > 1 || store.GetCountLock() > 1) abort();
  _LCK_INFORMAION wanted = listed ? slots[0] : _LCK_INFORMAION{};
  wanted.mode ^= 4;
  (void)store.UpdateLock(&wanted);
  if (choices & 4) (void)store.DelLock(&wanted);
  (void)store.AddLock(&wanted);
}

void WalkAccounts(uint8_t choices) {
  CMdb store(kUserDb, (choices & 2) != 0);
  _PWDTBL slots[2];
  int listed = store.GetPwd(slots, 2);
  if (listed < 0 || listed > 1 || store.GetCountPwd() > 1) abort();
  _PWDTBL wanted = listed ? slots[0] : _PWDTBL{};
  _PWDTBL before = wanted;
  if (!store.CheckPwd(&wanted) && std::memcmp(&wanted, &before, sizeof wanted) != 0) abort();
  wanted.admin ^= 1;
  (void)store.UpdatePwd(&wanted);
  if (choices & 4) (void)store.DelPwd(&wanted);
  (void)store.AddPwd(&wanted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = SetUpDrive();
  (void)ready;
  if (size < 3) return 0;
  uint8_t choices = data[0];
  size_t keySize = std::min<size_t>(data[1] | (static_cast<size_t>(data[2]) << 8), size - 3);
  const uint8_t* key = data + 3;
  const uint8_t* content = key + keySize;
  size_t contentSize = size - 3 - keySize;

  Decode(content, contentSize);
  if (choices & 1) {
    StoreOnly("C:\\NB\\user", key, keySize, content, contentSize);
    WalkAccounts(choices);
  } else {
    StoreOnly("C:\\NB\\lock", key, keySize, content, contentSize);
    WalkLocks(choices);
  }
  return 0;
}
