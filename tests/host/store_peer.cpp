// A client process that uses the lock store, the log writer and the registry helper
// against the machine at $NB_ROOT, as the system's programs do.
//   store_peer log TEXT              logs TEXT through the service's log writer
//   store_peer install FOLDER        makes FOLDER with the empty "lock" and "user" databases
//   store_peer addlock DB PATH       stores a hidden lock on C:PATH in database DB
//   store_peer locks DB              prints each stored lock: drive, path, serial
//   store_peer setnumber NAME VALUE  writes a number under the machine's own key
//   store_peer number NAME           prints that number
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include "LogFile.h"
#include "RegKey.h"
#include "VAULTSdk.h"
#include "nb/text.h"
#include "nb/win/socket_channel.h"

namespace {

enum Exit { kDone = 0, kFailed = 1, kUsage = 64 };

// A key every booted machine has.
constexpr char16_t kSettingsKey[] = u"HKEY_LOCAL_MACHINE\\SYSTEM\\Nimbra";

std::u16string Wide(const char* text) { return nb::text::Utf8ToUtf16(text); }

int AddLock(const char* db, const char* path) {
  CMdb store(Wide(db).c_str(), false);
  _LCK_INFORMAION lock{};
  lock.type = 1;
  lock.mode = 1;
  lock.running = 1;
  lock.drive = u'C';
  std::u16string wide = Wide(path);
  if (wide.size() >= LCK_PATH_UNITS) return kFailed;
  wide.copy(lock.path, wide.size());
  lock.serial = 0x1234;
  return store.AddLock(&lock) ? kDone : kFailed;
}

int Locks(const char* db) {
  CMdb store(Wide(db).c_str(), true);
  int count = store.GetCountLock();
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(count > 0 ? count : 1));
  int read = store.GetLock(locks.data(), count);
  for (int i = 0; i < read; ++i) {
    std::printf("%c: %s %X\n", static_cast<char>(locks[i].drive), nb::text::Utf16ToUtf8(locks[i].path).c_str(),
                static_cast<unsigned>(locks[i].serial));
  }
  return kDone;
}

int SetNumber(const char* name, const char* value) {
  RegKey key;
  if (!key.Open(kSettingsKey)) return kFailed;
  return key.WriteNumber(Wide(name).c_str(), std::atoi(value)) ? kDone : kFailed;
}

int Number(const char* name) {
  RegKey key;
  INT value = 0;
  if (!key.Open(kSettingsKey) || !key.ReadNumber(Wide(name).c_str(), &value)) return kFailed;
  std::printf("%d\n", value);
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "log" && argc == 3) {
    LogMessage(u"%s", Wide(argv[2]).c_str());
    return kDone;
  }
  if (command == "install" && argc == 3) return InstallLockStore(Wide(argv[2]).c_str()) ? kDone : kFailed;
  if (command == "addlock" && argc == 4) return AddLock(argv[2], argv[3]);
  if (command == "locks" && argc == 3) return Locks(argv[2]);
  if (command == "setnumber" && argc == 4) return SetNumber(argv[2], argv[3]);
  if (command == "number" && argc == 3) return Number(argv[2]);
  std::fprintf(stderr, "usage: store_peer log TEXT | install FOLDER | addlock DB PATH | locks DB | setnumber NAME VALUE | number NAME\n");
  return kUsage;
}
