// The service control manager: services in the hive, what runs in memory.
#include "nb/kernel/service_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

#include "nb/kernel/driver_loader.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/kernel/registry.h"
#include "nb/kernel/registry_rules.h"
#include "nb/kernel/volume_service.h"
#include "nb/text.h"

namespace nb::kernel {

// What runs of one service. Guarded by the manager's mutex_.
struct ServiceManager::Runtime {
  std::u16string name;  // as the hive spells it
  ServiceStatus status{.currentState = SERVICE_STOPPED};
  size_t openHandles = 0;
  bool markedForDelete = false;
  bool deleted = false;  // its key has gone
  PDRIVER_OBJECT driver = nullptr;
  // An own-process service's program and its dispatcher.
  ULONG dispatcherProcess = 0;  // the process started for the latest start
  bool connected = false;
  bool startDelivered = false;
  std::vector<std::u16string> startArguments;
  std::deque<std::pair<uint64_t, ULONG>> pending;  // controls not yet taken
  uint64_t nextSequence = 0;
  uint64_t acknowledged = 0;
};

namespace {

constexpr ULONG kDefaultWaitHint = 2000;

NTSTATUS Win32(DWORD error) { return NTSTATUS_FROM_WIN32(error); }

RegistryCaller Machine() { return RegistryCaller{0, kSystemProcessId}; }

std::u16string KeyOf(std::u16string_view name) {
  return std::u16string(ServiceManager::kServicesKey) + u"\\" + std::u16string(name);
}

// Closes a hive key when it goes out of scope.
class Key {
 public:
  explicit Key(RegistryHive& hive) : hive_(hive) {}
  ~Key() {
    if (handle_) (void)hive_.CloseKey(Machine(), handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, bool create = false) {
    return hive_.OpenKey(Machine(), 0, RegistryRoot::kLocalMachine, path, access, create, &handle_);
  }
  RegistryHandle handle() const { return handle_; }

 private:
  RegistryHive& hive_;
  RegistryHandle handle_ = 0;
};

bool ReadDword(RegistryHive& hive, RegistryHandle key, std::u16string_view name, ULONG* value) {
  ULONG type = 0;
  std::vector<BYTE> data;
  if (!NT_SUCCESS(hive.QueryValue(Machine(), key, name, &type, &data)) || type != REG_DWORD || data.size() != 4) {
    return false;
  }
  std::memcpy(value, data.data(), 4);
  return true;
}

bool ReadString(RegistryHive& hive, RegistryHandle key, std::u16string_view name, std::u16string* value) {
  ULONG type = 0;
  std::vector<BYTE> data;
  if (!NT_SUCCESS(hive.QueryValue(Machine(), key, name, &type, &data)) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  value->assign(data.size() / 2, u'\0');
  if (!value->empty()) std::memcpy(value->data(), data.data(), value->size() * 2);
  while (!value->empty() && value->back() == u'\0') value->pop_back();
  return true;
}

NTSTATUS WriteDword(RegistryHive& hive, RegistryHandle key, std::u16string_view name, ULONG value) {
  return hive.SetValue(Machine(), key, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS WriteString(RegistryHive& hive, RegistryHandle key, std::u16string_view name, ULONG type,
                     const std::u16string& value) {
  return hive.SetValue(Machine(), key, name, type, value.c_str(), (value.size() + 1) * sizeof(char16_t));
}

// Deletes a key with everything below it.
NTSTATUS DeleteTree(RegistryHive& hive, const std::u16string& path) {
  {
    Key key(hive);
    NTSTATUS status = key.Open(path, KEY_READ);
    if (!NT_SUCCESS(status)) return status;
    std::vector<std::u16string> children;
    std::u16string child;
    LONGLONG written;
    for (ULONG i = 0; NT_SUCCESS(hive.EnumerateKey(Machine(), key.handle(), i, &child, &written)); ++i) {
      children.push_back(child);
    }
    for (const std::u16string& name : children) {
      status = DeleteTree(hive, path + u"\\" + name);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  Key key(hive);
  NTSTATUS status = key.Open(path, DELETE);
  return NT_SUCCESS(status) ? hive.DeleteKey(Machine(), key.handle()) : status;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

NTSTATUS DriverLoadError(NTSTATUS status) {
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return Win32(ERROR_FILE_NOT_FOUND);
    case STATUS_INVALID_IMAGE_FORMAT:
      return Win32(ERROR_BAD_EXE_FORMAT);
    case STATUS_IMAGE_ALREADY_LOADED:
      return Win32(ERROR_SERVICE_ALREADY_RUNNING);
    case STATUS_ENTRYPOINT_NOT_FOUND:
      return Win32(ERROR_PROC_NOT_FOUND);
    default:
      return status;
  }
}

std::string StatusText(NTSTATUS status) {
  auto raw = static_cast<uint32_t>(status);
  if ((raw & 0xFFFF0000u) == (0xC0000000u | (FACILITY_NTWIN32 << 16))) {
    return "error " + std::to_string(raw & 0xFFFFu);
  }
  return text::Format("status 0x%08X", raw);
}

}  // namespace

ServiceManager::ServiceManager(Kernel& kernel) : kernel_(kernel) {}

ServiceManager::~ServiceManager() { UnloadDrivers(); }

void ServiceManager::SetLauncher(ServiceLauncher* launcher) {
  std::lock_guard lock(mutex_);
  launcher_ = launcher;
}

void ServiceManager::SetTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control) {
  std::lock_guard lock(mutex_);
  startTimeout_ = start;
  controlTimeout_ = control;
}

NTSTATUS ServiceManager::Insert(OpenHandle entry, ServiceHandle* handle) {
  constexpr size_t kMaxHandles = size_t{1} << 20;
  if (handles_.size() >= kMaxHandles) return STATUS_INSUFFICIENT_RESOURCES;
  while (nextHandle_ == 0 || handles_.count(nextHandle_)) nextHandle_ += 4;
  *handle = nextHandle_;
  nextHandle_ += 4;
  if (entry.service) ++entry.service->openHandles;
  handles_.emplace(*handle, std::move(entry));
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::Lookup(const ServiceCaller& caller, ServiceHandle handle, bool manager, ACCESS_MASK right,
                                OpenHandle** entry) {
  auto found = handles_.find(handle);
  if (found == handles_.end() || found->second.owner != caller.processId ||
      (found->second.service == nullptr) != manager) {
    return Win32(ERROR_INVALID_HANDLE);
  }
  if ((found->second.granted & right) != right) return Win32(ERROR_ACCESS_DENIED);
  *entry = &found->second;
  return STATUS_SUCCESS;
}

std::shared_ptr<ServiceManager::Runtime> ServiceManager::RuntimeOf(const std::u16string& storedName) {
  auto& runtime = runtimes_[FoldRegistryName(storedName)];
  if (!runtime) {
    runtime = std::make_shared<Runtime>();
    runtime->name = storedName;
  }
  return runtime;
}

NTSTATUS ServiceManager::ReadConfig(std::u16string_view name, ServiceConfig* config, std::u16string* storedName) {
  if (CheckServiceName(name) != 0) return Win32(ERROR_SERVICE_DOES_NOT_EXIST);
  RegistryHive& hive = kernel_.Registry();
  Key key(hive);
  if (!NT_SUCCESS(key.Open(KeyOf(name), KEY_READ))) return Win32(ERROR_SERVICE_DOES_NOT_EXIST);
  *config = ServiceConfig{};
  if (!ReadDword(hive, key.handle(), u"Type", &config->type) ||
      !ReadString(hive, key.handle(), u"ImagePath", &config->imagePath)) {
    return Win32(ERROR_SERVICE_DOES_NOT_EXIST);  // a key of settings, not a service
  }
  if (!ReadDword(hive, key.handle(), u"Start", &config->start)) config->start = SERVICE_DEMAND_START;
  if (!ReadDword(hive, key.handle(), u"ErrorControl", &config->errorControl)) {
    config->errorControl = SERVICE_ERROR_NORMAL;
  }
  if (!ReadString(hive, key.handle(), u"DisplayName", &config->displayName)) config->displayName = name;
  // The key's own spelling: the parent lists it.
  *storedName = std::u16string(name);
  Key services(hive);
  if (NT_SUCCESS(services.Open(kServicesKey, KEY_READ))) {
    std::u16string folded = FoldRegistryName(name);
    std::u16string child;
    LONGLONG written;
    for (ULONG i = 0; NT_SUCCESS(hive.EnumerateKey(Machine(), services.handle(), i, &child, &written)); ++i) {
      if (FoldRegistryName(child) == folded) *storedName = child;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::WriteConfig(std::u16string_view name, const ServiceConfig& config) {
  RegistryHive& hive = kernel_.Registry();
  Key key(hive);
  NTSTATUS status = key.Open(KeyOf(name), KEY_ALL_ACCESS, true);
  if (!NT_SUCCESS(status)) return status;
  for (NTSTATUS written : {WriteDword(hive, key.handle(), u"Type", config.type),
                           WriteDword(hive, key.handle(), u"Start", config.start),
                           WriteDword(hive, key.handle(), u"ErrorControl", config.errorControl),
                           WriteString(hive, key.handle(), u"ImagePath", REG_EXPAND_SZ, config.imagePath),
                           WriteString(hive, key.handle(), u"DisplayName", REG_SZ, config.displayName)}) {
    if (!NT_SUCCESS(written)) return written;
  }
  return STATUS_SUCCESS;
}

std::vector<std::u16string> ServiceManager::ServiceNames() {
  std::vector<std::u16string> names;
  RegistryHive& hive = kernel_.Registry();
  Key services(hive);
  if (!NT_SUCCESS(services.Open(kServicesKey, KEY_READ))) return names;
  std::u16string child;
  LONGLONG written;
  for (ULONG i = 0; NT_SUCCESS(hive.EnumerateKey(Machine(), services.handle(), i, &child, &written)); ++i) {
    names.push_back(child);
  }
  return names;
}

NTSTATUS ServiceManager::OpenManager(const ServiceCaller& caller, ACCESS_MASK desired, ServiceHandle* handle) {
  *handle = 0;
  ACCESS_MASK mapped = MapManagerAccess(desired) | SC_MANAGER_CONNECT;
  if (!ManagerAccessAllowed(caller.uid, mapped)) return Win32(ERROR_ACCESS_DENIED);
  std::lock_guard lock(mutex_);
  return Insert(OpenHandle{caller.processId, mapped, nullptr}, handle);
}

NTSTATUS ServiceManager::CreateService(const ServiceCaller& caller, ServiceHandle manager, std::u16string_view name,
                                       const ServiceConfig& given, ACCESS_MASK desired, ServiceHandle* handle) {
  *handle = 0;
  std::lock_guard lock(mutex_);
  OpenHandle* entry;
  NTSTATUS status = Lookup(caller, manager, true, SC_MANAGER_CREATE_SERVICE, &entry);
  if (!NT_SUCCESS(status)) return status;
  if (DWORD invalid = CheckServiceName(name)) return Win32(invalid);
  ServiceConfig config = given;
  if (config.displayName.empty()) config.displayName = name;
  if (config.displayName.size() > 256) return Win32(ERROR_INVALID_NAME);
  if (DWORD invalid = CheckServiceConfig(config)) return Win32(invalid);
  ACCESS_MASK mapped = MapServiceAccess(desired);
  if (!ServiceAccessAllowed(caller.uid, mapped)) return Win32(ERROR_ACCESS_DENIED);

  auto existing = runtimes_.find(FoldRegistryName(name));
  if (existing != runtimes_.end() && existing->second->markedForDelete && !existing->second->deleted) {
    return Win32(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  ServiceConfig other;
  std::u16string stored;
  if (NT_SUCCESS(ReadConfig(name, &other, &stored))) return Win32(ERROR_SERVICE_EXISTS);
  // A display name is one service's: neither another's name nor its display name.
  std::u16string display = FoldRegistryName(config.displayName);
  for (const std::u16string& serviceName : ServiceNames()) {
    if (!NT_SUCCESS(ReadConfig(serviceName, &other, &stored))) continue;
    if (FoldRegistryName(serviceName) == display || FoldRegistryName(other.displayName) == display) {
      return Win32(ERROR_DUPLICATE_SERVICE_NAME);
    }
  }
  if (existing != runtimes_.end()) runtimes_.erase(existing);  // a deleted service's leftovers
  status = WriteConfig(name, config);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Runtime> runtime = RuntimeOf(std::u16string(name));
  runtime->status.serviceType = config.type;
  return Insert(OpenHandle{caller.processId, mapped, runtime}, handle);
}

NTSTATUS ServiceManager::OpenService(const ServiceCaller& caller, ServiceHandle manager, std::u16string_view name,
                                     ACCESS_MASK desired, ServiceHandle* handle) {
  *handle = 0;
  std::lock_guard lock(mutex_);
  OpenHandle* entry;
  NTSTATUS status = Lookup(caller, manager, true, SC_MANAGER_CONNECT, &entry);
  if (!NT_SUCCESS(status)) return status;
  if (CheckServiceName(name) != 0) return Win32(ERROR_INVALID_NAME);
  ServiceConfig config;
  std::u16string stored;
  status = ReadConfig(name, &config, &stored);
  if (!NT_SUCCESS(status)) return status;
  ACCESS_MASK mapped = MapServiceAccess(desired);
  if (!ServiceAccessAllowed(caller.uid, mapped)) return Win32(ERROR_ACCESS_DENIED);
  std::shared_ptr<Runtime> runtime = RuntimeOf(stored);
  if (runtime->status.serviceType == 0) runtime->status.serviceType = config.type;
  return Insert(OpenHandle{caller.processId, mapped, runtime}, handle);
}

void ServiceManager::CollectDeleted(const std::shared_ptr<Runtime>& runtime) {
  if (!runtime->markedForDelete || runtime->deleted || runtime->openHandles != 0 ||
      runtime->status.currentState != SERVICE_STOPPED) {
    return;
  }
  runtime->deleted = true;
  (void)DeleteTree(kernel_.Registry(), KeyOf(runtime->name));
  auto found = runtimes_.find(FoldRegistryName(runtime->name));
  if (found != runtimes_.end() && found->second == runtime) runtimes_.erase(found);
}

NTSTATUS ServiceManager::DeleteService(const ServiceCaller& caller, ServiceHandle service) {
  std::lock_guard lock(mutex_);
  OpenHandle* entry;
  NTSTATUS status = Lookup(caller, service, false, DELETE, &entry);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Runtime> runtime = entry->service;
  if (runtime->markedForDelete) return Win32(ERROR_SERVICE_MARKED_FOR_DELETE);
  runtime->markedForDelete = true;
  CollectDeleted(runtime);
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::CloseHandle(ULONG processId, ServiceHandle handle) {
  std::lock_guard lock(mutex_);
  auto found = handles_.find(handle);
  if (found == handles_.end() || found->second.owner != processId) return Win32(ERROR_INVALID_HANDLE);
  std::shared_ptr<Runtime> runtime = std::move(found->second.service);
  handles_.erase(found);
  if (runtime) {
    --runtime->openHandles;
    CollectDeleted(runtime);
  }
  return STATUS_SUCCESS;
}

size_t ServiceManager::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

NTSTATUS ServiceManager::QueryStatus(const ServiceCaller& caller, ServiceHandle service, ServiceStatus* status) {
  std::lock_guard lock(mutex_);
  OpenHandle* entry;
  NTSTATUS looked = Lookup(caller, service, false, SERVICE_QUERY_STATUS, &entry);
  if (!NT_SUCCESS(looked)) return looked;
  *status = entry->service->status;
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::StartService(const ServiceCaller& caller, ServiceHandle service,
                                      const std::vector<std::u16string>& arguments) {
  std::unique_lock lock(mutex_);
  OpenHandle* entry;
  NTSTATUS status = Lookup(caller, service, false, SERVICE_START, &entry);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Runtime> runtime = entry->service;
  return Start(lock, runtime, arguments);
}

NTSTATUS ServiceManager::Start(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                               const std::vector<std::u16string>& arguments) {
  if (runtime->markedForDelete) return Win32(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (runtime->status.currentState != SERVICE_STOPPED) return Win32(ERROR_SERVICE_ALREADY_RUNNING);
  ServiceConfig config;
  std::u16string stored;
  NTSTATUS status = ReadConfig(runtime->name, &config, &stored);
  if (!NT_SUCCESS(status)) return status;
  if (config.start == SERVICE_DISABLED) return Win32(ERROR_SERVICE_DISABLED);
  if (DWORD invalid = CheckServiceConfig(config)) return Win32(invalid);
  runtime->status = ServiceStatus{.serviceType = config.type,
                                  .currentState = SERVICE_START_PENDING,
                                  .waitHint = kDefaultWaitHint};
  if (IsDriverType(config.type)) return StartDriver(lock, runtime, config);
  return StartProgram(lock, runtime, config, arguments);
}

void ServiceManager::MarkStopped(Runtime& runtime, ULONG exitCode) {
  ULONG type = runtime.status.serviceType;
  runtime.status = ServiceStatus{.serviceType = type, .currentState = SERVICE_STOPPED, .win32ExitCode = exitCode};
  runtime.pending.clear();
  runtime.connected = false;
  changed_.notify_all();
}

NTSTATUS ServiceManager::StartDriver(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                     const ServiceConfig& config) {
  std::u16string driverName =
      (config.type == SERVICE_FILE_SYSTEM_DRIVER ? u"\\FileSystem\\" : u"\\Driver\\") + runtime->name;
  lock.unlock();
  std::string path;
  std::vector<std::string> ignored;
  NTSTATUS status = ResolveImage(config.imagePath, true, &path, &ignored);
  PDRIVER_OBJECT driver = nullptr;
  if (NT_SUCCESS(status)) status = DriverLoadError(LoadDriverImage(kernel_, driverName, path, &driver));
  lock.lock();
  if (!NT_SUCCESS(status)) {
    MarkStopped(*runtime, 0);
    CollectDeleted(runtime);
    return status;
  }
  runtime->driver = driver;
  runtime->status.currentState = SERVICE_RUNNING;
  runtime->status.waitHint = 0;
  runtime->status.controlsAccepted = driver->DriverUnload ? SERVICE_ACCEPT_STOP : 0;
  loadOrder_.push_back(runtime);
  changed_.notify_all();
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::StartProgram(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                      const ServiceConfig& config, const std::vector<std::u16string>& arguments) {
  lock.unlock();
  std::string program;
  std::vector<std::string> programArguments;
  NTSTATUS status = ResolveImage(config.imagePath, false, &program, &programArguments);
  lock.lock();
  auto fail = [&](NTSTATUS failure) {
    MarkStopped(*runtime, 0);
    CollectDeleted(runtime);
    return failure;
  };
  if (!NT_SUCCESS(status)) return fail(status);
  if (!launcher_) return fail(Win32(ERROR_SERVICE_NEVER_STARTED));
  runtime->startArguments = {runtime->name};
  runtime->startArguments.insert(runtime->startArguments.end(), arguments.begin(), arguments.end());
  runtime->startDelivered = false;
  runtime->connected = false;
  runtime->pending.clear();
  // Under the lock, so that the end of the process cannot be told before its id is known.
  ULONG processId = 0;
  status = launcher_->Launch(runtime->name, program, programArguments, &processId);
  if (!NT_SUCCESS(status)) return fail(status);
  runtime->dispatcherProcess = processId;
  runtime->status.processId = processId;
  livePrograms_.insert(processId);
  ServiceLauncher* launcher = launcher_;
  bool taken = changed_.wait_for(lock, startTimeout_, [&] {
    return runtime->startDelivered || runtime->status.processId != processId ||
           runtime->status.currentState == SERVICE_STOPPED;
  });
  if (taken && runtime->startDelivered) return STATUS_SUCCESS;
  // The program ended, or never connected: Windows gives up on it the same way.
  if (runtime->status.processId == processId && launcher_ == launcher && launcher) launcher->Terminate(processId);
  if (runtime->status.processId == processId) MarkStopped(*runtime, ERROR_SERVICE_REQUEST_TIMEOUT);
  CollectDeleted(runtime);
  return Win32(ERROR_SERVICE_REQUEST_TIMEOUT);
}

NTSTATUS ServiceManager::ResolveImage(const std::u16string& imagePath, bool forDriver, std::string* hostPath,
                                      std::vector<std::string>* arguments) {
  std::vector<VolumeDescription> volumes;
  (void)kernel_.CallVolumeService([&](VolumeService& service) {
    volumes = service.Describe();
    return STATUS_SUCCESS;
  });
  bool located = false;
  for (const ImageCommand& reading : ReadImageCommand(imagePath)) {
    std::optional<ImageLocation> location = LocateImage(reading.program);
    if (!location) continue;
    located = true;
    std::string path;
    if (location->kind == ImageLocation::Kind::kUnix) {
      path = location->hostPath;
    } else {
      auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const VolumeDescription& each) {
        return each.present && static_cast<WCHAR>(each.letter) == location->letter;
      });
      if (volume == volumes.end()) continue;
      path = (forDriver ? volume->folder : volume->accessFolder) + "/" + text::Utf16ToUtf8(location->relative);
    }
    if (!IsRegularFile(path)) continue;
    *hostPath = path;
    arguments->clear();
    for (const std::u16string& argument : reading.arguments) arguments->push_back(text::Utf16ToUtf8(argument));
    return STATUS_SUCCESS;
  }
  return Win32(located ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
}

NTSTATUS ServiceManager::ControlService(const ServiceCaller& caller, ServiceHandle service, ULONG control,
                                        ServiceStatus* status) {
  *status = ServiceStatus{};
  std::unique_lock lock(mutex_);
  ACCESS_MASK right = RightForControl(control);
  if (right == 0) {
    return Win32(control == SERVICE_CONTROL_SHUTDOWN ? ERROR_INVALID_SERVICE_CONTROL : ERROR_INVALID_PARAMETER);
  }
  OpenHandle* entry;
  NTSTATUS looked = Lookup(caller, service, false, right, &entry);
  if (!NT_SUCCESS(looked)) return looked;
  std::shared_ptr<Runtime> runtime = entry->service;
  NTSTATUS result = Control(lock, runtime, control, false);
  *status = runtime->status;
  CollectDeleted(runtime);
  return result;
}

NTSTATUS ServiceManager::Control(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Runtime>& runtime,
                                 ULONG control, bool fromMachine) {
  ServiceStatus& status = runtime->status;
  if (DWORD refused = CheckControl(control, status.currentState, status.controlsAccepted, fromMachine)) {
    return Win32(refused);
  }
  if (runtime->driver) {
    if (control == SERVICE_CONTROL_INTERROGATE) return STATUS_SUCCESS;
    if (control != SERVICE_CONTROL_STOP) return Win32(ERROR_INVALID_SERVICE_CONTROL);
    PDRIVER_OBJECT driver = std::exchange(runtime->driver, nullptr);
    status.currentState = SERVICE_STOP_PENDING;
    std::erase(loadOrder_, runtime);
    lock.unlock();
    kernel_.UnloadDriver(driver);
    lock.lock();
    MarkStopped(*runtime, 0);
    return STATUS_SUCCESS;
  }
  ULONG processId = status.processId;
  uint64_t sequence = ++runtime->nextSequence;
  runtime->pending.emplace_back(sequence, control);
  changed_.notify_all();
  bool done = changed_.wait_for(lock, controlTimeout_, [&] {
    return runtime->acknowledged >= sequence || runtime->status.processId != processId ||
           runtime->status.currentState == SERVICE_STOPPED;
  });
  if (!done) {
    std::erase_if(runtime->pending, [&](const auto& each) { return each.first == sequence; });
    return Win32(ERROR_SERVICE_REQUEST_TIMEOUT);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::ConnectDispatcher(ULONG processId, const std::vector<std::u16string>& names,
                                           std::u16string* name) {
  std::lock_guard lock(mutex_);
  for (auto& [folded, runtime] : runtimes_) {
    if (runtime->dispatcherProcess != processId || runtime->status.processId != processId || runtime->connected ||
        runtime->status.currentState != SERVICE_START_PENDING) {
      continue;
    }
    const std::u16string& key = folded;  // a structured binding is not captured by every compiler
    bool named = std::any_of(names.begin(), names.end(),
                             [&](const std::u16string& each) { return FoldRegistryName(each) == key; });
    if (!named) break;
    runtime->connected = true;
    *name = runtime->name;
    changed_.notify_all();
    return STATUS_SUCCESS;
  }
  return Win32(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

NTSTATUS ServiceManager::WaitCommand(ULONG processId, std::u16string_view name, uint64_t acknowledged,
                                     std::chrono::milliseconds timeout, DispatcherCommand* command) {
  *command = DispatcherCommand{};
  std::unique_lock lock(mutex_);
  auto found = runtimes_.find(FoldRegistryName(name));
  if (found == runtimes_.end() || found->second->dispatcherProcess != processId) return Win32(ERROR_INVALID_HANDLE);
  std::shared_ptr<Runtime> runtime = found->second;
  if (acknowledged > runtime->acknowledged && acknowledged <= runtime->nextSequence) {
    runtime->acknowledged = acknowledged;
    changed_.notify_all();
  }
  auto ready = [&] {
    return runtime->status.processId != processId || runtime->status.currentState == SERVICE_STOPPED ||
           !runtime->startDelivered || !runtime->pending.empty();
  };
  if (!changed_.wait_for(lock, timeout, ready)) return STATUS_SUCCESS;  // kNone
  if (runtime->status.processId != processId || runtime->status.currentState == SERVICE_STOPPED ||
      !runtime->connected) {
    command->kind = DispatcherCommand::Kind::kExit;
  } else if (!runtime->startDelivered) {
    runtime->startDelivered = true;
    command->kind = DispatcherCommand::Kind::kStart;
    command->arguments = runtime->startArguments;
    changed_.notify_all();
  } else {
    command->kind = DispatcherCommand::Kind::kControl;
    command->sequence = runtime->pending.front().first;
    command->control = runtime->pending.front().second;
    runtime->pending.pop_front();
  }
  return STATUS_SUCCESS;
}

NTSTATUS ServiceManager::SetStatus(ULONG processId, std::u16string_view name, const ServiceStatus& reported) {
  std::lock_guard lock(mutex_);
  auto found = runtimes_.find(FoldRegistryName(name));
  if (found == runtimes_.end() || found->second->dispatcherProcess != processId || processId == 0) {
    return Win32(ERROR_INVALID_HANDLE);
  }
  if (reported.currentState < SERVICE_STOPPED || reported.currentState > SERVICE_PAUSED) {
    return Win32(ERROR_INVALID_DATA);
  }
  std::shared_ptr<Runtime> runtime = found->second;
  // A process whose service has stopped (or started again in another process) reports
  // into the void.
  if (runtime->status.processId != processId) return STATUS_SUCCESS;
  ServiceStatus& status = runtime->status;
  if (reported.currentState == SERVICE_STOPPED) {
    MarkStopped(*runtime, reported.win32ExitCode);
    status.serviceSpecificExitCode = reported.serviceSpecificExitCode;
    CollectDeleted(runtime);
    return STATUS_SUCCESS;
  }
  ULONG type = status.serviceType;
  status = reported;
  status.serviceType = type;
  status.processId = processId;
  status.serviceFlags = 0;
  changed_.notify_all();
  return STATUS_SUCCESS;
}

void ServiceManager::ProcessEnded(ULONG processId) {
  std::lock_guard lock(mutex_);
  livePrograms_.erase(processId);
  changed_.notify_all();
  std::vector<std::shared_ptr<Runtime>> ended;
  for (auto& [folded, runtime] : runtimes_) {
    if (processId != 0 && runtime->status.processId == processId) ended.push_back(runtime);
  }
  for (const auto& runtime : ended) {
    MarkStopped(*runtime, ERROR_PROCESS_ABORTED);
    CollectDeleted(runtime);
  }
}

void ServiceManager::StartMatching(const Log& log, const std::function<bool(const ServiceConfig&)>& matches) {
  for (const std::u16string& name : ServiceNames()) {
    std::unique_lock lock(mutex_);
    ServiceConfig config;
    std::u16string stored;
    if (!NT_SUCCESS(ReadConfig(name, &config, &stored)) || !matches(config)) continue;
    std::shared_ptr<Runtime> runtime = RuntimeOf(stored);
    if (runtime->status.currentState != SERVICE_STOPPED) continue;
    NTSTATUS status = Start(lock, runtime, {});
    lock.unlock();
    std::string which = text::Utf16ToUtf8(stored);
    log(NT_SUCCESS(status) ? "started the service " + which
                           : "cannot start the service " + which + " (" + StatusText(status) + ")");
  }
}

void ServiceManager::StartBootDrivers(const Log& log) {
  StartMatching(log, [](const ServiceConfig& config) {
    return IsDriverType(config.type) && config.start <= SERVICE_SYSTEM_START;
  });
}

void ServiceManager::StartAutoServices(const Log& log) {
  StartMatching(log, [](const ServiceConfig& config) { return config.start == SERVICE_AUTO_START; });
}

void ServiceManager::ShutdownServices(std::chrono::milliseconds wait, const Log& log) {
  std::unique_lock lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + wait;
  std::vector<std::shared_ptr<Runtime>> programs;
  for (auto& [folded, runtime] : runtimes_) {
    if (!runtime->driver && runtime->status.processId != 0) programs.push_back(runtime);
  }
  for (const auto& runtime : programs) {
    ServiceStatus& status = runtime->status;
    if (status.currentState == SERVICE_STOPPED) continue;
    if (!ControlAccepted(SERVICE_CONTROL_SHUTDOWN, status.controlsAccepted)) continue;
    log("sending shutdown to the service " + text::Utf16ToUtf8(runtime->name));
    ULONG processId = status.processId;
    uint64_t sequence = ++runtime->nextSequence;
    runtime->pending.emplace_back(sequence, SERVICE_CONTROL_SHUTDOWN);
    changed_.notify_all();
    (void)processId;
  }
  changed_.wait_until(lock, deadline, [&] {
    return std::all_of(programs.begin(), programs.end(),
                       [](const auto& runtime) { return runtime->status.currentState == SERVICE_STOPPED; });
  });
  for (const auto& runtime : programs) {
    if (runtime->status.currentState == SERVICE_STOPPED) continue;
    log("the service " + text::Utf16ToUtf8(runtime->name) + " did not stop; ending its process");
    if (launcher_) launcher_->Terminate(runtime->status.processId);
    MarkStopped(*runtime, ERROR_PROCESS_ABORTED);
  }
  // Stopped programs end once their dispatchers return; the rest are ended.
  changed_.wait_until(lock, deadline, [&] { return livePrograms_.empty(); });
  for (ULONG processId : livePrograms_) {
    if (launcher_) launcher_->Terminate(processId);
  }
}

void ServiceManager::UnloadDrivers() {
  for (;;) {
    std::shared_ptr<Runtime> runtime;
    PDRIVER_OBJECT driver;
    {
      std::lock_guard lock(mutex_);
      if (loadOrder_.empty()) return;
      runtime = loadOrder_.back();
      loadOrder_.pop_back();
      driver = std::exchange(runtime->driver, nullptr);
      runtime->status.currentState = SERVICE_STOP_PENDING;
    }
    if (driver) kernel_.UnloadDriver(driver);
    std::lock_guard lock(mutex_);
    MarkStopped(*runtime, 0);
  }
}

}  // namespace nb::kernel
