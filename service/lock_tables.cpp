// The lock tables the start-up and the event handling share: the driver's locks, the
// stored locks, matching one against the other, the service's trusted registration and
// the console's refresh signal.
#include <gdbm.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <windows.h>

#include "LogFile.h"
#include "NBUtil.h"
#include "nb/text.h"
#include "nb/win/host_path.h"
#include "nbfsctl.h"
#include "service.h"

namespace {

char16_t Lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool SameNameIgnoringCase(const WCHAR* a, const WCHAR* b, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
    if (a[i] == u'\0') return true;
  }
  return true;
}

// Whether the lock database opens for reading: the store's calls answer 0 both for an
// empty database and for one they could not open.
bool StoreOpens(LPCWSTR path) {
  std::optional<std::string> file = nb::win::HostPathOf(nb::text::Utf16ToUtf8(path));
  if (!file) return false;
  GDBM_FILE db = gdbm_open(file->c_str(), 1024, GDBM_READER, 0, nullptr);
  if (!db) return false;
  gdbm_close(db);
  return true;
}

// One read of the store: nullopt when the file could not be read.
std::optional<std::vector<_LCK_INFORMAION>> ReadStore(LPCWSTR path) {
  CMdb store(path, true);
  int count = store.GetCountLock();
  std::vector<_LCK_INFORMAION> locks;
  if (count > 0) {
    locks.assign(static_cast<size_t>(count), _LCK_INFORMAION{});
    int copied = store.GetLock(locks.data(), count);
    if (copied < 0) copied = 0;
    locks.resize(static_cast<size_t>(copied));
  }
  if (locks.empty() && !StoreOpens(path)) return std::nullopt;
  return locks;
}

}  // namespace

bool LoadKernelLocks(CVAULTObj& vault) {
  int count = vault.GetLockCount(0);
  if (count <= 0) return true;
  vault.driverLocks.assign(static_cast<size_t>(count), _LCK_INFORMAION{});
  if (!vault.GetLockInfo(vault.driverLocks.data(), count, 0)) {
    vault.driverLocks.clear();
    return false;
  }
  for (_LCK_INFORMAION& lock : vault.driverLocks) vault.GetVolumeSerial(lock.drive, &lock.serial);
  return true;
}

bool LoadStoredLocks(CVAULTObj& vault) {
  vault.storedLocks.clear();
  for (int attempt = 0; attempt < STORE_READ_ATTEMPTS; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(STORE_READ_PAUSE_MS));
    std::optional<std::vector<_LCK_INFORMAION>> locks = ReadStore(vault.lockDbPath);
    if (locks) {
      vault.storedLocks = std::move(*locks);
      return true;
    }
    LogMessage(u"Lock DB(%s) cannot be read(%d)", vault.lockDbPath, attempt);
  }
  LogMessage(u"Lock DB(%s) read failure !!!", vault.lockDbPath);
  return false;
}

int FindStoredLock(const _LCK_INFORMAION* lock, const _LCK_INFORMAION* list, int count) {
  if (!lock || !list) return -1;
  for (int i = 0; i < count; ++i) {
    // Two locks on the same path of different volumes are different locks.
    if (list[i].serial == lock->serial && LockCMP(&list[i], lock)) return i;
  }
  return -1;
}

bool RegisterServiceProcess(_LCK_PROC_INFORMATION* process, CVAULTObj& vault, LPCWSTR module) {
  std::memset(process, 0, sizeof *process);
  std::u16string name = nb::text::FormatWide(u"%s.exe", module);
  std::memcpy(process->procName, name.data(), std::min(name.size(), PROC_NAME_UNITS - 1) * sizeof(WCHAR));
  process->pid = GetCurrentProcessId();
  process->permission = PROC_PERMISSION_FULL;

  int count = vault.ProcGlobalCount(false);
  if (count > 0) {
    std::vector<_LCK_PROC_INFORMATION> registered(static_cast<size_t>(count), _LCK_PROC_INFORMATION{});
    if (!vault.ProcGlobalGetInformation(registered.data(), count, false)) return false;
    // Entries of an earlier service process under any id.
    for (_LCK_PROC_INFORMATION& entry : registered) {
      if (SameNameIgnoringCase(entry.procName, process->procName, PROC_NAME_UNITS)) {
        vault.ProcGlobalRemove(&entry, false);
      }
    }
  }
  return vault.ProcGlobalRegister(process, false);
}

void NotifyConsole() {
  HANDLE event = nullptr;
  int error = 0;
  if (!CreateAdminEvent(&event, &error, true)) return;
  SetEvent(event);
  CloseHandle(event);
}

int RelockExpired(const std::function<bool(std::vector<_LCK_INFORMAION>*)>& readTable,
                  const std::function<bool(_LCK_INFORMAION*)>& relock) {
  int calls = 0;
  for (int pass = 0; pass < TIMER_RELOCK_PASSES; ++pass) {
    std::vector<_LCK_INFORMAION> table;
    readTable(&table);
    int relocked = 0;
    bool expired = false;
    for (_LCK_INFORMAION& lock : table) {
      if (lock.mode != NBFS_LOCK_EXPIRED) continue;
      expired = true;
      ++calls;
      if (relock(&lock)) ++relocked;
    }
    // Nothing left, or nothing that a further pass could change.
    if (!expired || relocked == 0) break;
  }
  return calls;
}
