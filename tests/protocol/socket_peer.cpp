// A client process for the socket tests: it reaches the machine at $NB_ROOT as programs
// do, does one thing and reports on standard output when it has got so far.
//   socket_peer wait NAME MS   opens event NAME and waits; exit 0 when it was set, 2 on time-out
//   socket_peer hold DEVICE    opens \\.\DEVICE and holds it until killed
//   socket_peer orphan DEVICE  opens \\.\DEVICE, leaves a child holding its connections and
//                              ends at once without closing them; says "open CHILDPID"
//   socket_peer mutex NAME     creates mutex NAME owned and holds it until killed; says
//                              "owned", or for an existing one "waiting" and then "owned
//                              existing" or "owned abandoned" (WAIT_ABANDONED_0)
//   socket_peer files NAME DIR registers itself in the filter driver's global trusted list
//                              under NAME, opens DIR\file.txt for reading and writing, a
//                              listing of DIR and DIR itself, and holds them until killed
//   socket_peer foreign NAME OWN  becomes the user nobody, then must be refused mutex NAME
//                              (open and create, ERROR_ACCESS_DENIED), makes mutex OWN and
//                              holds it until killed; exit 3 when it cannot become nobody
//   socket_peer unreachable    two event calls that must both fail with ERROR_NOT_READY
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/socket_channel.h"
#include "nbclient.h"

namespace {

enum Exit { kDone = 0, kFailed = 1, kTimedOut = 2, kUsage = 64 };

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

std::u16string Wide(const char* text) { return nb::text::Utf8ToUtf16(text); }

int Wait(const char* name, const char* milliseconds) {
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, Wide(name).c_str());
  if (!event) return kFailed;
  Say("waiting");
  DWORD waited = WaitForSingleObject(event, static_cast<DWORD>(std::strtoul(milliseconds, nullptr, 10)));
  return waited == WAIT_OBJECT_0 ? kDone : waited == WAIT_TIMEOUT ? kTimedOut : kFailed;
}

int Hold(const char* device) {
  std::u16string path = u"\\\\.\\" + Wide(device);
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kFailed;
  Say("open");
  for (;;) pause();
}

int Orphan(const char* device) {
  std::u16string path = u"\\\\.\\" + Wide(device);
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kFailed;
  pid_t child = fork();
  if (child < 0) return kFailed;
  if (child == 0) {
    for (;;) pause();
  }
  std::printf("open %d\n", static_cast<int>(child));
  std::fflush(stdout);
  _exit(kDone);  // no clean-up: the connections stay up in the child
}

int Mutex(const char* name) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, Wide(name).c_str());
  if (!mutex) return kFailed;
  if (GetLastError() != ERROR_ALREADY_EXISTS) {
    Say("owned");
  } else {
    // An existing mutex is not taken by the create: wait for it.
    Say("waiting");
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0) return kFailed;
    Say(waited == WAIT_ABANDONED_0 ? "owned abandoned" : "owned existing");
  }
  for (;;) pause();
}

int Files(const char* name, const char* folder) {
  if (NB_RegisterGlobalProcess(name, static_cast<ULONG>(getpid()), NBFS_PERMISSION_FULL) != 0) return kFailed;
  std::u16string directory = Wide(folder);
  HANDLE file = CreateFileW((directory + u"\\file.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  WIN32_FIND_DATAW data;
  HANDLE listing = FindFirstFileW((directory + u"\\*").c_str(), &data);
  HANDLE self = CreateFileW(directory.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE || listing == INVALID_HANDLE_VALUE || self == INVALID_HANDLE_VALUE) return kFailed;
  Say("open");
  for (;;) pause();
}

int Foreign(const char* name, const char* own) {
  constexpr uid_t kNobody = 65534;
  if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 3;
  if (OpenMutexW(SYNCHRONIZE, FALSE, Wide(name).c_str()) || GetLastError() != ERROR_ACCESS_DENIED) return kFailed;
  if (CreateMutexW(nullptr, FALSE, Wide(name).c_str()) || GetLastError() != ERROR_ACCESS_DENIED) return kFailed;
  if (!CreateMutexW(nullptr, TRUE, Wide(own).c_str())) return kFailed;
  Say("refused and made");
  for (;;) pause();
}

int Unreachable() {
  auto start = std::chrono::steady_clock::now();
  for (int call = 0; call < 2; ++call) {
    if (CreateEventW(nullptr, TRUE, FALSE, u"Unreached") || GetLastError() != ERROR_NOT_READY) return kFailed;
  }
  return std::chrono::steady_clock::now() - start < std::chrono::seconds(2) ? kDone : kTimedOut;
}

}  // namespace

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  std::string action = argc > 1 ? argv[1] : "";
  if (action == "wait" && argc == 4) return Wait(argv[2], argv[3]);
  if (action == "hold" && argc == 3) return Hold(argv[2]);
  if (action == "orphan" && argc == 3) return Orphan(argv[2]);
  if (action == "mutex" && argc == 3) return Mutex(argv[2]);
  if (action == "files" && argc == 4) return Files(argv[2], argv[3]);
  if (action == "foreign" && argc == 4) return Foreign(argv[2], argv[3]);
  if (action == "unreachable" && argc == 2) return Unreachable();
  std::fprintf(stderr, "usage: socket_peer wait NAME MS | hold DEVICE | orphan DEVICE | mutex NAME | files NAME DIR | foreign NAME OWN | unreachable\n");
  return kUsage;
}
