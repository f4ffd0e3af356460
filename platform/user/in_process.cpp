// The in-process transport: the request transport over a loopback to the dispatcher, with
// one client context per simulated process.
#include "nb/win/in_process.h"

#include <unistd.h>

#include <atomic>
#include <limits>
#include <map>
#include <mutex>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "nb/server/server.h"
#include "nb/win/request_transport.h"

namespace nb::win {

namespace {

// An object of this transport is the owner's process id above the value that names it
// in the owner's client context.
static_assert(server::ClientContext::kMaxObjects * 4 <= std::numeric_limits<uint32_t>::max());

TransportObject Tag(ULONG processId, TransportObject value) { return (TransportObject{processId} << 32) | value; }
ULONG OwnerOf(TransportObject object) { return static_cast<ULONG>(object >> 32); }
TransportObject ValueOf(TransportObject object) { return object & std::numeric_limits<uint32_t>::max(); }

ULONG CurrentProcessId() { return kernel::ProcessTable::IdOf(kernel::CurrentProcess()); }

// Runs `call` with the object's value in the process that opened it.
template <typename Call>
NTSTATUS AsOwner(TransportObject object, Call call) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel) return STATUS_NO_SUCH_DEVICE;
  PEPROCESS owner = kernel->Processes().Find(OwnerOf(object));
  if (!owner) return STATUS_INVALID_HANDLE;
  kernel::ProcessScope scope(owner);
  return call(ValueOf(object));
}

// Runs an open in the calling thread's process and tags what it opened with that process.
template <typename Open>
NTSTATUS AsCaller(TransportObject* object, Open open) {
  *object = 0;
  if (!kernel::Kernel::Current()) return STATUS_NO_SUCH_DEVICE;
  ULONG owner = CurrentProcessId();
  TransportObject value;
  NTSTATUS status = open(&value);
  if (NT_SUCCESS(status)) *object = Tag(owner, value);
  return status;
}

}  // namespace

// Hands each request to the dispatcher with the context of the calling thread's process.
class InProcessTransport::Loopback final : public Channel {
 public:
  Loopback() : uid_(static_cast<uint32_t>(::geteuid())) {}

  ~Loopback() override {
    bool alive = kernel_ && kernel::Kernel::Current() == kernel_;
    for (auto& [process, client] : clients_) alive ? client->CloseAll() : client->Abandon();
  }

  NTSTATUS Exchange(std::span<const uint8_t> request, std::vector<uint8_t>* reply) override {
    if (!kernel::Kernel::Current()) return STATUS_NO_SUCH_DEVICE;
    std::shared_ptr<server::ClientContext> client = ClientOf(kernel::CurrentProcess());
    *reply = server::DispatchRequest(*client, request);
    return STATUS_SUCCESS;
  }

  size_t ObjectsHeldBy(ULONG processId) const {
    std::lock_guard lock(mutex_);
    for (const auto& [process, client] : clients_) {
      if (kernel::ProcessTable::IdOf(process) == processId) return client->Count();
    }
    return 0;
  }

  void ActAsUser(uint32_t uid) {
    std::lock_guard lock(mutex_);
    uid_ = uid;
    for (auto& [process, client] : clients_) client->SetUser(uid);
  }

  uint32_t User() const {
    std::lock_guard lock(mutex_);
    return uid_;
  }

 private:
  std::shared_ptr<server::ClientContext> ClientOf(PEPROCESS process) {
    std::lock_guard lock(mutex_);
    // Contexts of a kernel that has gone name objects that went with it.
    if (kernel::Kernel::Current() != kernel_) {
      for (auto& [old, client] : clients_) client->Abandon();
      clients_.clear();
      kernel_ = kernel::Kernel::Current();
    }
    auto& client = clients_[process];
    if (!client) client = std::make_shared<server::ClientContext>(process, uid_);
    return client;
  }

  mutable std::mutex mutex_;
  kernel::Kernel* kernel_ = nullptr;
  uint32_t uid_;  // whom every client acts as
  std::map<PEPROCESS, std::shared_ptr<server::ClientContext>> clients_;
};

InProcessTransport::InProcessTransport()
    : loopback_(std::make_unique<Loopback>()), requests_(std::make_unique<RequestTransport>(*loopback_)) {}

InProcessTransport::~InProcessTransport() = default;

size_t InProcessTransport::ObjectsHeldBy(ULONG processId) const { return loopback_->ObjectsHeldBy(processId); }

void InProcessTransport::ActAsUser(uint32_t uid) { loopback_->ActAsUser(uid); }

uint32_t InProcessTransport::User() const { return loopback_->User(); }

ULONG InProcessTransport::CallerProcessId() const {
  return kernel::Kernel::Current() ? CurrentProcessId() : static_cast<ULONG>(::getpid());
}

NTSTATUS InProcessTransport::OpenObject(const ObjectOpen& open, TransportObject* object) {
  return AsCaller(object, [&](TransportObject* value) { return requests_->OpenObject(open, value); });
}

NTSTATUS InProcessTransport::DeviceControl(TransportObject object, ULONG code, const void* input, ULONG inputLength,
                                           void* output, ULONG outputLength, ULONG* returned) {
  *returned = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->DeviceControl(value, code, input, inputLength, output, outputLength, returned);
  });
}

void InProcessTransport::CloseObject(TransportObject object) {
  (void)AsOwner(object, [&](TransportObject value) {
    requests_->CloseObject(value);
    return STATUS_SUCCESS;
  });
}

NTSTATUS InProcessTransport::CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                               bool initialState, TransportObject* object) {
  return AsCaller(object, [&](TransportObject* value) {
    return requests_->CreateEventObject(handle, objectName, manualReset, initialState, value);
  });
}

NTSTATUS InProcessTransport::OpenEventObject(HANDLE handle, const std::u16string& objectName, ACCESS_MASK desiredAccess,
                                             TransportObject* object) {
  return AsCaller(object, [&](TransportObject* value) {
    return requests_->OpenEventObject(handle, objectName, desiredAccess, value);
  });
}

NTSTATUS InProcessTransport::SetEventObject(TransportObject object, bool signalled) {
  return AsOwner(object, [&](TransportObject value) { return requests_->SetEventObject(value, signalled); });
}

NTSTATUS InProcessTransport::CreateMutantObject(HANDLE handle, const std::u16string& objectName, bool initialOwner,
                                                TransportObject* object) {
  return AsCaller(object, [&](TransportObject* value) {
    return requests_->CreateMutantObject(handle, objectName, initialOwner, value);
  });
}

NTSTATUS InProcessTransport::OpenMutantObject(HANDLE handle, const std::u16string& objectName,
                                              ACCESS_MASK desiredAccess, TransportObject* object) {
  return AsCaller(object, [&](TransportObject* value) {
    return requests_->OpenMutantObject(handle, objectName, desiredAccess, value);
  });
}

NTSTATUS InProcessTransport::ReleaseMutantObject(TransportObject object) {
  return AsOwner(object, [&](TransportObject value) { return requests_->ReleaseMutantObject(value); });
}

NTSTATUS InProcessTransport::WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                            const LARGE_INTEGER* timeout) {
  if (!objects || count == 0) return STATUS_INVALID_PARAMETER;
  // One process waits: objects opened by another are not its objects.
  std::vector<TransportObject> values;
  for (ULONG i = 0; i < count; ++i) {
    if (OwnerOf(objects[i]) != OwnerOf(objects[0])) return STATUS_INVALID_HANDLE;
    values.push_back(ValueOf(objects[i]));
  }
  return AsOwner(objects[0],
                 [&](TransportObject) { return requests_->WaitForObjects(values.data(), count, waitAll, timeout); });
}

NTSTATUS InProcessTransport::QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) {
  return requests_->QuerySymbolicLink(linkName, target);
}

NTSTATUS InProcessTransport::ListDirectory(const std::u16string& directory, std::vector<std::u16string>* names) {
  return requests_->ListDirectory(directory, names);
}

NTSTATUS InProcessTransport::QueryVolumeInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                    ULONG length, ULONG* returned) {
  *returned = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->QueryVolumeInformation(value, informationClass, buffer, length, returned);
  });
}

NTSTATUS InProcessTransport::CreateFileObject(const ObjectOpen& open, TransportObject* object, ULONG* information) {
  *information = 0;
  return AsCaller(object,
                  [&](TransportObject* value) { return requests_->CreateFileObject(open, value, information); });
}

NTSTATUS InProcessTransport::ReadFileData(TransportObject object, LONGLONG offset, void* buffer, ULONG length,
                                          ULONG* transferred) {
  *transferred = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->ReadFileData(value, offset, buffer, length, transferred);
  });
}

NTSTATUS InProcessTransport::WriteFileData(TransportObject object, LONGLONG offset, const void* buffer, ULONG length,
                                           ULONG* transferred) {
  *transferred = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->WriteFileData(value, offset, buffer, length, transferred);
  });
}

NTSTATUS InProcessTransport::QueryFileInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                  ULONG length, ULONG* returned) {
  *returned = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->QueryFileInformation(value, informationClass, buffer, length, returned);
  });
}

NTSTATUS InProcessTransport::SetFileInformation(TransportObject object, ULONG informationClass, const void* buffer,
                                                ULONG length) {
  return AsOwner(object, [&](TransportObject value) {
    return requests_->SetFileInformation(value, informationClass, buffer, length);
  });
}

NTSTATUS InProcessTransport::RenameFileObject(TransportObject object, const std::u16string& newName,
                                              bool replaceIfExists) {
  return AsOwner(object,
                 [&](TransportObject value) { return requests_->RenameFileObject(value, newName, replaceIfExists); });
}

NTSTATUS InProcessTransport::QueryDirectoryFile(TransportObject object, ULONG informationClass,
                                                const std::u16string& pattern, bool restartScan, void* buffer,
                                                ULONG length, ULONG* returned) {
  *returned = 0;
  return AsOwner(object, [&](TransportObject value) {
    return requests_->QueryDirectoryFile(value, informationClass, pattern, restartScan, buffer, length, returned);
  });
}

NTSTATUS InProcessTransport::FlushFileObject(TransportObject object) {
  return AsOwner(object, [&](TransportObject value) { return requests_->FlushFileObject(value); });
}

NTSTATUS InProcessTransport::OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                             ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                             ULONG* disposition) {
  *disposition = 0;
  auto open = [&](TransportObject parentValue, TransportObject* value) {
    return requests_->OpenRegistryKey(parentValue, root, subKey, desiredAccess, create, value, disposition);
  };
  if (parent == 0) return AsCaller(key, [&](TransportObject* value) { return open(0, value); });
  // A key below an open key is the parent's process's, as a handle of that process is.
  *key = 0;
  TransportObject opened = 0;
  NTSTATUS status = AsOwner(parent, [&](TransportObject value) { return open(value, &opened); });
  if (NT_SUCCESS(status)) *key = Tag(OwnerOf(parent), opened);
  return status;
}

NTSTATUS InProcessTransport::DeleteRegistryKey(TransportObject key) {
  return AsOwner(key, [&](TransportObject value) { return requests_->DeleteRegistryKey(value); });
}

NTSTATUS InProcessTransport::EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                                  LONGLONG* lastWriteTime) {
  return AsOwner(key, [&](TransportObject value) {
    return requests_->EnumerateRegistryKey(value, index, name, lastWriteTime);
  });
}

NTSTATUS InProcessTransport::QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) {
  return AsOwner(key, [&](TransportObject value) { return requests_->QueryRegistryKey(value, info); });
}

NTSTATUS InProcessTransport::QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                                std::vector<BYTE>* data) {
  return AsOwner(key, [&](TransportObject value) { return requests_->QueryRegistryValue(value, name, type, data); });
}

NTSTATUS InProcessTransport::SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                              const void* data, ULONG length) {
  return AsOwner(key, [&](TransportObject value) {
    return requests_->SetRegistryValue(value, name, type, data, length);
  });
}

NTSTATUS InProcessTransport::DeleteRegistryValue(TransportObject key, const std::u16string& name) {
  return AsOwner(key, [&](TransportObject value) { return requests_->DeleteRegistryValue(value, name); });
}

NTSTATUS InProcessTransport::EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name,
                                                    ULONG* type, std::vector<BYTE>* data) {
  return AsOwner(key, [&](TransportObject value) {
    return requests_->EnumerateRegistryValue(value, index, name, type, data);
  });
}

NTSTATUS InProcessTransport::QueryVolumes(std::vector<protocol::VolumeEntry>* volumes) {
  return requests_->QueryVolumes(volumes);
}

NTSTATUS InProcessTransport::AddVolume(const protocol::AddVolumeRequest& request, ULONG* serial) {
  return requests_->AddVolume(request, serial);
}

NTSTATUS InProcessTransport::EjectVolume(uint8_t letter) { return requests_->EjectVolume(letter); }

NTSTATUS InProcessTransport::InsertVolume(const protocol::InsertVolumeRequest& request,
                                          protocol::InsertVolumeReply* reply) {
  return requests_->InsertVolume(request, reply);
}

NTSTATUS InProcessTransport::OpenServiceManager(ACCESS_MASK desiredAccess, TransportObject* manager) {
  return AsCaller(manager, [&](TransportObject* value) { return requests_->OpenServiceManager(desiredAccess, value); });
}

// A service handle opened through a manager belongs to the manager's process.
NTSTATUS InProcessTransport::CreateServiceObject(TransportObject manager, const protocol::CreateServiceRequest& request,
                                                 TransportObject* service) {
  *service = 0;
  TransportObject opened = 0;
  NTSTATUS status =
      AsOwner(manager, [&](TransportObject value) { return requests_->CreateServiceObject(value, request, &opened); });
  if (NT_SUCCESS(status)) *service = Tag(OwnerOf(manager), opened);
  return status;
}

NTSTATUS InProcessTransport::OpenServiceObject(TransportObject manager, const std::u16string& name,
                                               ACCESS_MASK desiredAccess, TransportObject* service) {
  *service = 0;
  TransportObject opened = 0;
  NTSTATUS status = AsOwner(
      manager, [&](TransportObject value) { return requests_->OpenServiceObject(value, name, desiredAccess, &opened); });
  if (NT_SUCCESS(status)) *service = Tag(OwnerOf(manager), opened);
  return status;
}

NTSTATUS InProcessTransport::DeleteServiceObject(TransportObject service) {
  return AsOwner(service, [&](TransportObject value) { return requests_->DeleteServiceObject(value); });
}

NTSTATUS InProcessTransport::StartServiceObject(TransportObject service, const std::vector<std::u16string>& arguments) {
  return AsOwner(service, [&](TransportObject value) { return requests_->StartServiceObject(value, arguments); });
}

NTSTATUS InProcessTransport::ControlServiceObject(TransportObject service, ULONG control,
                                                  protocol::ServiceStatusRecord* status) {
  *status = {};
  return AsOwner(service,
                 [&](TransportObject value) { return requests_->ControlServiceObject(value, control, status); });
}

NTSTATUS InProcessTransport::QueryServiceObject(TransportObject service, protocol::ServiceStatusRecord* status) {
  *status = {};
  return AsOwner(service, [&](TransportObject value) { return requests_->QueryServiceObject(value, status); });
}

NTSTATUS InProcessTransport::ConnectServiceDispatcher(const std::vector<std::u16string>& names, std::u16string* name) {
  return requests_->ConnectServiceDispatcher(names, name);
}

NTSTATUS InProcessTransport::WaitServiceControl(const protocol::WaitServiceControlRequest& request,
                                                protocol::WaitServiceControlReply* reply) {
  return requests_->WaitServiceControl(request, reply);
}

NTSTATUS InProcessTransport::ReportServiceStatus(const std::u16string& name, const protocol::ServiceStatusRecord& status) {
  return requests_->ReportServiceStatus(name, status);
}

std::function<void()> InProcessTransport::BindThread(std::function<void()> body) const {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  PEPROCESS process = kernel ? kernel::CurrentProcess() : nullptr;
  if (!kernel) return body;
  return [kernel, process, body = std::move(body)] {
    kernel::KernelScope bound(*kernel);
    kernel::ProcessScope scope(process);
    body();
  };
}

}  // namespace nb::win
