// The service's test machine.
#include "service_machine.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "NBUtil.h"
#include "driver.h"
#include "nb/kernel/events.h"
#include "nb/text.h"
#include "nb/win/drives.h"
#include "nbclient.h"
#include "nbdv.h"

namespace service_test {

namespace fs = std::filesystem;

namespace {

template <size_t units>
void Put(WCHAR (&field)[units], std::u16string_view text) {
  std::fill(field, field + units, u'\0');
  std::copy_n(text.begin(), std::min(text.size(), units - 1), field);
}

template <typename Condition>
bool Eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, DWORD serial, int status, int mode, int timeout) {
  _LCK_INFORMAION lock{};
  lock.type = LCK_TYPE_FOLDER;
  lock.drive = drive;
  lock.mode = mode;
  lock.timeout = timeout;
  lock.running = 1;
  lock.status = status;
  lock.serial = serial;
  Put(lock.path, path);
  return lock;
}

ServiceMachine::ServiceMachine() {
  char pattern[] = "/tmp/nbsvc-XXXXXX";
  if (!mkdtemp(pattern)) {
    status_ = STATUS_UNSUCCESSFUL;
    return;
  }
  top_ = pattern;
  transport_.ActAsUser(0);
  for (auto [letter, type, serial] : {std::tuple{'C', nb::kernel::VolumeType::kFixed, kSerialC},
                                      std::tuple{'D', nb::kernel::VolumeType::kFixed, kSerialD},
                                      std::tuple{'E', nb::kernel::VolumeType::kRemovable, kSerialE}}) {
    if (NT_SUCCESS(status_)) status_ = AddFolderVolume(letter, type, serial, Folder(letter));
  }
  MakeFolder('C', "\\Windows\\TEMP\\NB");
  MakeFolder('C', "\\Documents and Settings\\Administrator\\Recent");
  fs::create_directories(DefaultFolder());
  if (!InstallLockStore(u"C:\\Windows\\Application Data\\NB")) status_ = STATUS_UNSUCCESSFUL;
  for (const char* file : {"nbfs36.sys", "nbdv15.sys"}) std::ofstream(DefaultFolder() / file) << "driver";
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
}

ServiceMachine::~ServiceMachine() {
  nb::win::UnmapAllDrives();
  std::error_code ignored;
  if (!top_.empty()) fs::remove_all(top_, ignored);
}

NTSTATUS ServiceMachine::AddFolderVolume(char letter, nb::kernel::VolumeType type, ULONG serial,
                                         const fs::path& folder) {
  nb::kernel::VolumeParameters parameters;
  parameters.letter = letter;
  parameters.type = type;
  parameters.serial = serial;
  parameters.hostFolder = folder.string();
  fs::create_directories(parameters.hostFolder);
  NTSTATUS status = AddVolume(parameters);
  if (NT_SUCCESS(status)) nb::win::MapDrive(static_cast<WCHAR>(letter), parameters.hostFolder);
  return status;
}

NTSTATUS ServiceMachine::InsertMedium(char letter, ULONG serial, const fs::path& folder) {
  return AddFolderVolume(letter, nb::kernel::VolumeType::kRemovable, serial, folder);
}

NTSTATUS ServiceMachine::EjectMedium(char letter) {
  NTSTATUS status = RemoveVolume(letter);
  nb::win::UnmapDrive(static_cast<WCHAR>(letter));
  return status;
}

fs::path ServiceMachine::MakeFolder(char letter, const std::string& path) {
  std::string relative = path;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  fs::path folder = Folder(letter) / relative.substr(relative.find_first_not_of('/'));
  fs::create_directories(folder);
  return folder;
}

bool ServiceMachine::LoadNamedDriver(const std::u16string& name) {
  if (Loaded(name)) return true;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (name == u"nbfs36") status = LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry);
  if (name == u"nbdv15") status = LoadDriver(u"\\Driver\\nbdv15", nbdvDriverEntry);
  if (!NT_SUCCESS(status)) return false;
  loaded_.push_back(name);
  return true;
}

bool ServiceMachine::Loaded(const std::u16string& name) const {
  return std::find(loaded_.begin(), loaded_.end(), name) != loaded_.end();
}

std::vector<std::string> ServiceMachine::LogLines() const {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Folder('C') / "Windows" / "TEMP" / "NB", error)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const fs::path& file : files) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

bool MachineInstaller::InstallAndStart(LPCWSTR name, LPCWSTR file) {
  ++calls;
  // The driver file is found where the machine keeps drive C:'s files.
  std::optional<std::string> host = nb::win::DriveFolder(file[0]);
  if (!host) return false;
  std::string relative = nb::text::Utf16ToUtf8(file + 2);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (!fs::exists(fs::path(*host) / relative.substr(1))) return false;
  return machine_.LoadNamedDriver(name);
}

std::thread ProcessLauncher::Start(std::function<void()> entry) {
  if (starts_++ == failAt) return std::thread();
  ++started;
  return std::thread([process = process_, entry = std::move(entry)] {
    nb::kernel::ProcessScope scope(process);
    entry();
  });
}

void ServiceTest::SetUp() {
  ASSERT_EQ(machine.status(), STATUS_SUCCESS);
  nb::kernel::ProcessScope scope(machine.ServiceProcess());
  service = std::make_unique<NBService>(installer, launcher);
}

void ServiceTest::TearDown() {
  if (worker.joinable()) StopService();
  nb::kernel::ProcessScope scope(machine.ServiceProcess());
  if (machine.Loaded(u"nbfs36")) NB_CloseEvent();
  if (machine.Loaded(u"nbdv15")) NBDV_CloseEvent();
  service.reset();
}

void ServiceTest::Store(const _LCK_INFORMAION& lock) {
  _LCK_INFORMAION copy = lock;
  ASSERT_TRUE(CMdb(kLockDb, false).AddLock(&copy));
}

std::vector<_LCK_INFORMAION> ServiceTest::Stored() {
  CMdb store(kLockDb, true);
  int count = store.GetCountLock();
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(count));
  locks.resize(static_cast<size_t>(store.GetLock(locks.data(), count)));
  return locks;
}

std::vector<_LCK_INFORMAION> ServiceTest::DriverLocks() {
  CVAULTObj vault;
  ::testing::internal::CaptureStdout();
  LoadKernelLocks(vault);
  ::testing::internal::GetCapturedStdout();
  return vault.driverLocks;
}

bool ServiceTest::InDriver(char16_t drive, std::u16string_view path) {
  for (const _LCK_INFORMAION& lock : DriverLocks()) {
    if (lock.drive == drive && std::u16string_view(lock.path) == path) return true;
  }
  return false;
}

bool ServiceTest::Startup() {
  nb::kernel::ProcessScope scope(machine.ServiceProcess());
  service->Vault().GetLockDbPath();
  _LCK_PROC_INFORMATION process{};
  int step = 1;
  return service->ServiceStartup(&process, &step);
}

void ServiceTest::StartService() {
  worker = std::thread([this] {
    nb::kernel::ProcessScope scope(machine.ServiceProcess());
    runResult = service->RunService();
  });
  for (const char16_t* name : {u"Global\\NbfsDeviceNotifyEvent36", u"Global\\NbdvDeviceNotifyEvent15",
                               u"Global\\NbfsTimerNotifyEvent36"}) {
    if (!WaitUntilWaiting(name)) {
      ADD_FAILURE() << "nobody waits on " << nb::text::Utf16ToUtf8(name);
      return;
    }
  }
}

int ServiceTest::StopService() {
  service->StopThreads();
  if (worker.joinable()) worker.join();
  return runResult;
}

bool ServiceTest::WaitUntilWaiting(const char16_t* name) {
  HANDLE event = nullptr;
  if (!Eventually([&] { return (event = OpenEventW(SYNCHRONIZE, FALSE, name)) != nullptr || runResult != -1; })) {
    return false;
  }
  if (!event) return false;
  PVOID object = nullptr;
  if (ObReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr) != STATUS_SUCCESS) {
    CloseHandle(event);
    return false;
  }
  bool waiting = Eventually([&] { return nb::kernel::WaitingThreads(static_cast<PKEVENT>(object)) > 0; });
  ObDereferenceObject(object);
  CloseHandle(event);
  return waiting;
}

bool ServiceTest::WaitForLog(const std::string& text, size_t count) {
  return Eventually([&] { return LogCount(text) >= count; });
}

size_t ServiceTest::LogCount(const std::string& text) const {
  size_t count = 0;
  for (const std::string& line : machine.LogLines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::vector<std::string> ServiceTest::LogOf(const std::vector<std::string>& texts) const {
  std::vector<std::string> picked;
  for (const std::string& line : machine.LogLines()) {
    // The message follows the time text and the module name.
    size_t module = line.find(":NBSvc:");
    std::string message = module == std::string::npos ? line : line.substr(module + 7);
    for (const std::string& text : texts) {
      if (message.find(text) != std::string::npos) {
        picked.push_back(message);
        break;
      }
    }
  }
  return picked;
}

}  // namespace service_test
