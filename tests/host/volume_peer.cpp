// A client process for the host tests: it reaches the machine at $NB_ROOT as programs do,
// does one thing and prints what it found on standard output.
//   volume_peer lock X PATH   locks folder PATH of drive X (hidden) through the driver
//   volume_peer locks X       prints each lock of drive X the driver lists, one a line
//   volume_peer drives        prints each drive: letter, type, serial, host folder
//   volume_peer whoami        prints this program's file as GetModuleFileNameW names it
#include <cstdio>
#include <string>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/socket_channel.h"
#include "nbclient.h"
#include "nbfsctl.h"

namespace {

enum Exit { kDone = 0, kFailed = 1, kUsage = 64 };

WCHAR Letter(const char* text) { return static_cast<WCHAR>(text[0]); }

int Lock(const char* letter, const char* path) {
  return LockFolder(Letter(letter), nb::text::Utf8ToUtf16(path).c_str(), NBFS_LOCK_NOACCESS, 0) == 0 ? kDone
                                                                                                        : kFailed;
}

int Locks(const char* letter) {
  ULONG count = 0;
  if (GetEntryCountInDrive(Letter(letter), &count) != 0) return kFailed;
  std::vector<NBFS_ENTRY> entries(count + 1);
  if (GetEntryInfoInDrive(Letter(letter), entries.data(), static_cast<ULONG>(entries.size() * sizeof(NBFS_ENTRY))) !=
      0) {
    return kFailed;
  }
  for (ULONG i = 0; i < count; ++i) {
    std::printf("%c: %s type %u\n", entries[i].letter, nb::text::Utf16ToUtf8(entries[i].path).c_str(),
                static_cast<unsigned>(entries[i].type));
  }
  return kDone;
}

int Drives() {
  DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (!(mask & (1u << i))) continue;
    WCHAR root[] = {static_cast<WCHAR>(u'A' + i), u':', u'\\', 0};
    DWORD serial = 0;
    if (!GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return kFailed;
    std::optional<std::string> folder = nb::win::DriveFolder(root[0]);
    std::printf("%c: type %u serial %08X folder %s\n", 'A' + i, GetDriveTypeW(root), static_cast<unsigned>(serial),
                folder ? folder->c_str() : "(none)");
  }
  return kDone;
}

int WhoAmI() {
  WCHAR name[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return kFailed;
  std::printf("%s\n", nb::text::Utf16ToUtf8(std::u16string(name, length)).c_str());
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  std::string action = argc > 1 ? argv[1] : "";
  int result = kUsage;
  if (action == "lock" && argc == 4) result = Lock(argv[2], argv[3]);
  if (action == "locks" && argc == 3) result = Locks(argv[2]);
  if (action == "drives" && argc == 2) result = Drives();
  if (action == "whoami" && argc == 2) result = WhoAmI();
  if (result == kUsage) std::fprintf(stderr, "usage: volume_peer lock X PATH | locks X | drives | whoami\n");
  std::fflush(stdout);
  return result;
}
