// Process enumeration: tool help and PSAPI over the host's processes, the process
// handles they take, and the reading of /proc behind them.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <climits>
#include <map>
#include <cstdlib>
#include <thread>

#include <psapi.h>
#include <tlhelp32.h>
#include <windows.h>

#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/host_processes.h"
#include "nb/win/module_names.h"
#include "nb/win/process_query.h"

extern char** environ;

namespace {

using nb::win::OpenProcessHandleForQuery;

constexpr ACCESS_MASK kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

std::u16string U(const std::string& text) { return nb::text::Utf8ToUtf16(text); }

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) ? resolved : "";
}

std::string OwnImageName() {
  std::string exe = RealPath("/proc/self/exe");
  return exe.substr(exe.rfind('/') + 1) + ".exe";
}

// A child process running sleep; killed and reaped when the test ends.
class Child {
 public:
  Child() {
    char sleepPath[] = "/bin/sleep", seconds[] = "60";
    char* argv[] = {sleepPath, seconds, nullptr};
    if (posix_spawn(&pid_, sleepPath, nullptr, nullptr, argv, environ) != 0) pid_ = 0;
    // The child is named by its executable once it has run exec.
    for (int i = 0; i < 500 && pid_ && RealPath(("/proc/" + std::to_string(pid_) + "/exe").c_str()) !=
                                           RealPath("/bin/sleep");
         ++i) {
      usleep(2000);
    }
  }
  ~Child() { End(); }
  void End() {
    if (!pid_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  DWORD pid() const { return static_cast<DWORD>(pid_); }

 private:
  pid_t pid_ = 0;
};

class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() {
    if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct Listed {
  std::u16string name;
  DWORD parent = 0;
};

// Every process of a tool help snapshot, walked through the functions Kernel32 exports.
std::map<DWORD, Listed> ToolHelpProcesses() {
  HMODULE kernel32 = LoadLibraryW(u"Kernel32");
  auto create = reinterpret_cast<HANDLE (*)(DWORD, DWORD)>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "CreateToolhelp32Snapshot")));
  auto first = reinterpret_cast<BOOL (*)(HANDLE, LPPROCESSENTRY32W)>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "Process32FirstW")));
  auto next = reinterpret_cast<BOOL (*)(HANDLE, LPPROCESSENTRY32W)>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "Process32NextW")));
  std::map<DWORD, Listed> listed;
  if (!create || !first || !next) return listed;
  HandleCloser snapshot(create(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) return listed;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
    listed[entry.th32ProcessID] = Listed{entry.szExeFile, entry.th32ParentProcessID};
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  return listed;
}

TEST(ToolHelp, ListsSystemThisProcessAndAChild) {
  Child child;
  ASSERT_NE(child.pid(), 0u);
  std::map<DWORD, Listed> listed = ToolHelpProcesses();
  ASSERT_TRUE(listed.count(4));
  EXPECT_EQ(listed[4].name, u"System");
  DWORD self = static_cast<DWORD>(getpid());
  ASSERT_TRUE(listed.count(self));
  EXPECT_EQ(listed[self].name, U(OwnImageName()));
  ASSERT_TRUE(listed.count(child.pid()));
  EXPECT_EQ(listed[child.pid()].name, u"sleep.exe");
  EXPECT_EQ(listed[child.pid()].parent, self);
  // Kernel threads are the System process's, not processes of their own.
  EXPECT_FALSE(listed.count(2)) << nb::text::Utf16ToUtf8(listed[2].name);

  // A child that has ended and been reaped is in no later snapshot.
  DWORD gone = child.pid();
  child.End();
  EXPECT_FALSE(ToolHelpProcesses().count(gone));
}

TEST(ToolHelp, AnsiFormsRecordSizesAndTheEnd) {
  HandleCloser snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  ASSERT_NE(snapshot.get(), INVALID_HANDLE_VALUE);
  PROCESSENTRY32 ansi{};
  ansi.dwSize = sizeof ansi;
  ASSERT_TRUE(Process32First(snapshot.get(), &ansi));
  EXPECT_EQ(ansi.th32ProcessID, 4u);
  EXPECT_STREQ(ansi.szExeFile, "System");
  size_t count = 1;
  while (Process32Next(snapshot.get(), &ansi)) ++count;
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_FALSE(Process32Next(snapshot.get(), &ansi));
  // First starts over.
  PROCESSENTRY32W wide{};
  wide.dwSize = sizeof wide;
  ASSERT_TRUE(Process32FirstW(snapshot.get(), &wide));
  EXPECT_EQ(std::u16string(wide.szExeFile), u"System");
  EXPECT_GT(count, 1u);

  // A record smaller than the form it is passed to is refused: the ANSI record is too small
  // for the wide call.
  PROCESSENTRY32 small{};
  small.dwSize = sizeof small;
  EXPECT_FALSE(Process32FirstW(snapshot.get(), reinterpret_cast<LPPROCESSENTRY32W>(&small)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  wide.dwSize = 8;
  EXPECT_FALSE(Process32NextW(snapshot.get(), &wide));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  // A process snapshot has no modules; a bad handle is no snapshot.
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  EXPECT_FALSE(Module32FirstW(snapshot.get(), &module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_FALSE(Process32FirstW(reinterpret_cast<HANDLE>(0x7FF0), &wide));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ToolHelp, ModulesOfThisProcess) {
  HandleCloser snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
  ASSERT_NE(snapshot.get(), INVALID_HANDLE_VALUE) << GetLastError();
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  ASSERT_TRUE(Module32FirstW(snapshot.get(), &entry));
  EXPECT_EQ(entry.th32ProcessID, static_cast<DWORD>(getpid()));
  EXPECT_EQ(std::u16string(entry.szModule), U(OwnImageName()));
  EXPECT_EQ(std::u16string(entry.szExePath), std::u16string(nb::win::kUnixPathPrefix) + U(RealPath("/proc/self/exe")));
  auto main = reinterpret_cast<uintptr_t>(&OwnImageName);
  EXPECT_LE(reinterpret_cast<uintptr_t>(entry.modBaseAddr), main);
  EXPECT_GT(reinterpret_cast<uintptr_t>(entry.modBaseAddr) + entry.modBaseSize, main);
  bool libc = false;
  MODULEENTRY32 ansi{};
  ansi.dwSize = sizeof ansi;
  while (Module32Next(snapshot.get(), &ansi)) libc = libc || std::string(ansi.szModule).starts_with("libc.so");
  EXPECT_TRUE(libc);

  // The System process is not for reading.
  EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 4), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Psapi, EnumeratesAndNamesTheFirstModule) {
  Child child;
  ASSERT_NE(child.pid(), 0u);
  DWORD ids[4096];
  DWORD bytes = 0;
  ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
  std::vector<DWORD> listed(ids, ids + bytes / sizeof(DWORD));
  for (DWORD wanted : {DWORD{4}, static_cast<DWORD>(getpid()), child.pid()}) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), wanted), listed.end()) << wanted;
  }
  // A buffer that holds fewer ids comes back full.
  DWORD two[2];
  ASSERT_TRUE(EnumProcesses(two, sizeof two, &bytes));
  EXPECT_EQ(bytes, sizeof two);
  EXPECT_EQ(two[0], 4u);

  HandleCloser process(OpenProcessHandleForQuery(child.pid(), kQueryAndRead));
  ASSERT_NE(process.get(), nullptr) << GetLastError();
  HMODULE first;
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcessModules(process.get(), &first, sizeof first, &needed));
  EXPECT_GE(needed, 2 * sizeof(HMODULE));
  std::u16string sleepName = std::u16string(nb::win::kUnixPathPrefix) + U(RealPath("/bin/sleep"));
  WCHAR name[256];
  for (HMODULE module : {HMODULE{}, first}) {
    DWORD length = GetModuleFileNameExW(process.get(), module, name, 256);
    EXPECT_EQ(std::u16string(name, length), sleepName);
  }
  // Through a drive that holds the program, the name is the drive's.
  std::string folder = RealPath("/bin/sleep");
  folder.resize(folder.rfind('/'));
  {
    nb::win::ScopedDrive drive(u'P', folder);
    DWORD length = GetModuleFileNameExW(process.get(), nullptr, name, 256);
    EXPECT_EQ(std::u16string(name, length), u"P:\\sleep");
  }
  // Cut to the buffer, terminated.
  EXPECT_EQ(GetModuleFileNameExW(process.get(), nullptr, name, 5), 4u);
  EXPECT_EQ(std::u16string(name), sleepName.substr(0, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetModuleFileNameExW(process.get(), reinterpret_cast<HMODULE>(0x10), name, 256), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Once the process has gone, its handle still names it but nothing can be read.
  child.End();
  EXPECT_EQ(GetModuleFileNameExW(process.get(), nullptr, name, 256), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PARTIAL_COPY));
  EXPECT_FALSE(EnumProcessModules(process.get(), &first, sizeof first, &needed));
}

struct OpenRefusal {
  DWORD pid;
  ACCESS_MASK access;
  DWORD error;
};

TEST(Psapi, ProcessesThatCannotBeOpened) {
  DWORD thread = 0;
  std::thread worker([&] { thread = static_cast<DWORD>(gettid()); });
  worker.join();
  const OpenRefusal refusals[] = {
      {0, kQueryAndRead, ERROR_INVALID_PARAMETER},
      {4, kQueryAndRead, ERROR_ACCESS_DENIED},  // System
      {0x7FFFFFF0, kQueryAndRead, ERROR_INVALID_PARAMETER},
      {static_cast<DWORD>(getpid()), PROCESS_TERMINATE, ERROR_ACCESS_DENIED},  // not a query right
  };
  for (const OpenRefusal& refusal : refusals) {
    SetLastError(0);
    EXPECT_EQ(OpenProcessHandleForQuery(refusal.pid, refusal.access), nullptr) << refusal.pid;
    EXPECT_EQ(GetLastError(), refusal.error) << refusal.pid;
  }
  // A thread's id names no process (the thread has ended; its id may even be free).
  EXPECT_EQ(OpenProcessHandleForQuery(thread, kQueryAndRead), nullptr);
  // A live thread's id neither.
  std::atomic<DWORD> running{0};
  std::atomic<bool> stop{false};
  std::thread live([&] {
    running = static_cast<DWORD>(gettid());
    while (!stop) usleep(1000);
  });
  while (!running) usleep(1000);
  EXPECT_EQ(OpenProcessHandleForQuery(running, kQueryAndRead), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  stop = true;
  live.join();
  // The host's kernel threads are part of System (kthreadd is 2 where the host's kernel
  // threads are visible).
  nb::win::ProcessStat stat;
  std::ifstream statFile("/proc/2/stat");
  std::string statText((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  if (nb::win::ParseProcessStat(statText, &stat) && (stat.flags & nb::win::kKernelThreadFlag)) {
    EXPECT_EQ(OpenProcessHandleForQuery(2, kQueryAndRead), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }

  // Query rights alone do not read modules; a snapshot handle is no process handle.
  HandleCloser query(OpenProcessHandleForQuery(static_cast<DWORD>(getpid()), PROCESS_QUERY_INFORMATION));
  ASSERT_NE(query.get(), nullptr);
  WCHAR name[64];
  EXPECT_EQ(GetModuleFileNameExW(query.get(), nullptr, name, 64), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HandleCloser snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  EXPECT_EQ(GetModuleFileNameExW(snapshot.get(), nullptr, name, 64), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Psapi, AnotherUsersProcessIsRefusedToAnUnprivilegedOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  pid_t parent = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    DWORD error = 0;
    auto opened = nb::win::OpenProcessForQuery(static_cast<DWORD>(parent), kQueryAndRead, &error);
    std::vector<nb::win::HostProcess> processes;
    DWORD listError;
    bool listsSystem = nb::win::ListHostProcesses(&processes, &listError) && !processes.empty() &&
                       processes[0].processId == 4;
    _exit(opened ? 11 : error != ERROR_ACCESS_DENIED ? 12 : !listsSystem ? 13 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

struct StatCase {
  const char* text;
  bool valid;
  char state;
  DWORD parent;
  uint64_t flags;
  DWORD threads;
};

TEST(HostProcesses, StatLines) {
  const StatCase cases[] = {
      {"123 (sleep) S 45 123 45 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 5000 1000 100", true, 'S', 45, 4194304, 1},
      // The command may hold spaces and parentheses: fields count from the last ')'.
      {"7 (a) (b c) R 1 7 7 0 -1 2097216 0 0 0 0 0 0 0 0 20 0 3 0 1", true, 'R', 1, 2097216, 3},
      {"9 (x) Z 1 9 9 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1\n", true, 'Z', 1, 0, 1},
      {"9 (x) S 1 9 9 0 -1 0 0 0", false},  // cut short
      {"9 x S 1 9 9 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1", false},
      {"9 (x) S one 9 9 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1", false},
      {"", false},
  };
  for (const StatCase& c : cases) {
    nb::win::ProcessStat stat;
    ASSERT_EQ(nb::win::ParseProcessStat(c.text, &stat), c.valid) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(stat.state, c.state) << c.text;
    EXPECT_EQ(stat.parentProcessId, c.parent) << c.text;
    EXPECT_EQ(stat.flags, c.flags) << c.text;
    EXPECT_EQ(stat.threads, c.threads) << c.text;
  }
}

TEST(HostProcesses, ModulesOfMaps) {
  const char* maps =
      "7f0000000000-7f0000001000 r--p 00000000 08:01 200   /usr/lib/libc.so.6\n"
      "7f0000001000-7f0000005000 r-xp 00001000 08:01 200   /usr/lib/libc.so.6\n"
      "7f0000005000-7f0000006000 rw-p 00005000 08:01 200   /usr/lib/libc.so.6\n"
      "7e0000000000-7e0000100000 r--p 00000000 08:01 300   /usr/lib/locale/locale-archive\n"
      "7f1000000000-7f1000002000 r-xp 00000000 08:01 400   /opt/app/VAULT.EN (deleted)\n"
      "7f2000000000-7f2000001000 rw-p 00000000 00:00 0 \n"
      "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0   [stack]\n"
      "555500000000-555500001000 r--p 00000000 08:01 100   /opt/app/NBSvc\n"
      "555500001000-555500004000 r-xp 00001000 08:01 100   /opt/app/NBSvc\n"
      "garbage line\n";
  std::vector<nb::win::HostModule> modules = nb::win::ModulesOfMaps(maps, "/opt/app/NBSvc");
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[0].hostPath, "/opt/app/NBSvc");
  EXPECT_EQ(modules[0].base, 0x555500000000u);
  EXPECT_EQ(modules[0].size, 0x4000u);
  EXPECT_EQ(modules[1].hostPath, "/usr/lib/libc.so.6");
  EXPECT_EQ(modules[1].size, 0x6000u);
  EXPECT_EQ(modules[2].hostPath, "/opt/app/VAULT.EN");
}

TEST(ModuleNames, HostFilesByTheMostSpecificDrive) {
  nb::win::ScopedDrive c(u'C', "/srv/c");
  nb::win::ScopedDrive d(u'D', "/srv/c/programs/");
  struct Case {
    const char* host;
    const char16_t* windows;
  };
  const Case cases[] = {
      {"/srv/c/Windows/x.dll", u"C:\\Windows\\x.dll"},
      {"/srv/c", u"C:\\"},
      {"/srv/c/programs/Nimbra/NBSvc", u"D:\\Nimbra\\NBSvc"},
      {"/srv/cx/y", u"\\\\?\\unix\\/srv/cx/y"},
      {"/usr/bin/sleep", u"\\\\?\\unix\\/usr/bin/sleep"},
  };
  for (const Case& c : cases) EXPECT_EQ(nb::win::WindowsNameOfHostFile(c.host), c.windows) << c.host;
  EXPECT_EQ(nb::win::WithModuleExtension(u"PSAPI"), u"PSAPI.dll");
  EXPECT_EQ(nb::win::WithModuleExtension(u"C:\\x.y\\VAULT"), u"C:\\x.y\\VAULT.dll");
  EXPECT_EQ(nb::win::WithModuleExtension(u"VAULT.EN"), u"VAULT.EN");
  EXPECT_EQ(nb::win::WithModuleExtension(u"VAULT."), u"VAULT");
}

}  // namespace
