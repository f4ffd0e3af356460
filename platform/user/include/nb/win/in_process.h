// The in-process transport: the Win32 calls of this process are served by the kernel
// instance living in it. It is the request transport over a loopback channel that hands
// each request message to the machine's dispatcher, so in-process calls run the same
// encoding, decoding and serving as calls over the host's socket.
//
// Each simulated process is a client of its own: an open acts as the calling thread's
// current process (tests act as any process with ProcessScope), and every later call on
// the object acts in the process that opened it, as the calls of a real process would.
#pragma once

#include <cstdint>
#include <memory>

#include "nb/win/transport.h"

namespace nb::win {

class InProcessTransport final : public Transport {
 public:
  InProcessTransport();
  // Closes every object the simulated processes still hold.
  ~InProcessTransport() override;
  InProcessTransport(const InProcessTransport&) = delete;
  InProcessTransport& operator=(const InProcessTransport&) = delete;

  // The simulated process the calling thread acts as (the System process unless a test
  // chose another).
  ULONG CallerProcessId() const override;

  [[nodiscard]] NTSTATUS OpenObject(const ObjectOpen& open, TransportObject* object) override;
  [[nodiscard]] NTSTATUS DeviceControl(TransportObject object, ULONG code, const void* input, ULONG inputLength,
                                       void* output, ULONG outputLength, ULONG* returned) override;
  void CloseObject(TransportObject object) override;
  [[nodiscard]] NTSTATUS CreateEventObject(HANDLE handle, const std::u16string& objectName, bool manualReset,
                                           bool initialState, TransportObject* object) override;
  [[nodiscard]] NTSTATUS OpenEventObject(HANDLE handle, const std::u16string& objectName, ACCESS_MASK desiredAccess,
                                         TransportObject* object) override;
  [[nodiscard]] NTSTATUS SetEventObject(TransportObject object, bool signalled) override;
  [[nodiscard]] NTSTATUS CreateMutantObject(HANDLE handle, const std::u16string& objectName, bool initialOwner,
                                            TransportObject* object) override;
  [[nodiscard]] NTSTATUS OpenMutantObject(HANDLE handle, const std::u16string& objectName, ACCESS_MASK desiredAccess,
                                          TransportObject* object) override;
  [[nodiscard]] NTSTATUS ReleaseMutantObject(TransportObject object) override;
  [[nodiscard]] NTSTATUS WaitForObjects(const TransportObject* objects, ULONG count, bool waitAll,
                                        const LARGE_INTEGER* timeout) override;
  [[nodiscard]] NTSTATUS QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) override;
  [[nodiscard]] NTSTATUS ListDirectory(const std::u16string& directory, std::vector<std::u16string>* names) override;
  [[nodiscard]] NTSTATUS QueryVolumeInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                ULONG length, ULONG* returned) override;
  [[nodiscard]] NTSTATUS QueryVolumes(std::vector<protocol::VolumeEntry>* volumes) override;
  [[nodiscard]] NTSTATUS AddVolume(const protocol::AddVolumeRequest& request, ULONG* serial) override;
  [[nodiscard]] NTSTATUS EjectVolume(uint8_t letter) override;
  [[nodiscard]] NTSTATUS InsertVolume(const protocol::InsertVolumeRequest& request,
                                      protocol::InsertVolumeReply* reply) override;

  [[nodiscard]] NTSTATUS CreateFileObject(const ObjectOpen& open, TransportObject* object,
                                          ULONG* information) override;
  [[nodiscard]] NTSTATUS ReadFileData(TransportObject object, LONGLONG offset, void* buffer, ULONG length,
                                      ULONG* transferred) override;
  [[nodiscard]] NTSTATUS WriteFileData(TransportObject object, LONGLONG offset, const void* buffer, ULONG length,
                                       ULONG* transferred) override;
  [[nodiscard]] NTSTATUS QueryFileInformation(TransportObject object, ULONG informationClass, void* buffer,
                                              ULONG length, ULONG* returned) override;
  [[nodiscard]] NTSTATUS SetFileInformation(TransportObject object, ULONG informationClass, const void* buffer,
                                            ULONG length) override;
  [[nodiscard]] NTSTATUS RenameFileObject(TransportObject object, const std::u16string& newName,
                                          bool replaceIfExists) override;
  [[nodiscard]] NTSTATUS QueryDirectoryFile(TransportObject object, ULONG informationClass,
                                            const std::u16string& pattern, bool restartScan, void* buffer,
                                            ULONG length, ULONG* returned) override;
  [[nodiscard]] NTSTATUS FlushFileObject(TransportObject object) override;
  // The registry: keys open in the calling thread's current process (below a parent key,
  // in the parent's) and as the Linux user set with ActAsUser, by default this process's
  // effective user (the socket server takes the peer's). Keys are objects of the
  // process's client context like any other.
  [[nodiscard]] NTSTATUS OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                         ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                         ULONG* disposition) override;
  [[nodiscard]] NTSTATUS DeleteRegistryKey(TransportObject key) override;
  [[nodiscard]] NTSTATUS EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                              LONGLONG* lastWriteTime) override;
  [[nodiscard]] NTSTATUS QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) override;
  [[nodiscard]] NTSTATUS QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                            std::vector<BYTE>* data) override;
  [[nodiscard]] NTSTATUS SetRegistryValue(TransportObject key, const std::u16string& name, ULONG type,
                                          const void* data, ULONG length) override;
  [[nodiscard]] NTSTATUS DeleteRegistryValue(TransportObject key, const std::u16string& name) override;
  [[nodiscard]] NTSTATUS EnumerateRegistryValue(TransportObject key, ULONG index, std::u16string* name, ULONG* type,
                                                std::vector<BYTE>* data) override;

  [[nodiscard]] NTSTATUS OpenServiceManager(ACCESS_MASK desiredAccess, TransportObject* manager) override;
  [[nodiscard]] NTSTATUS CreateServiceObject(TransportObject manager, const protocol::CreateServiceRequest& request,
                                             TransportObject* service) override;
  [[nodiscard]] NTSTATUS OpenServiceObject(TransportObject manager, const std::u16string& name,
                                           ACCESS_MASK desiredAccess, TransportObject* service) override;
  [[nodiscard]] NTSTATUS DeleteServiceObject(TransportObject service) override;
  [[nodiscard]] NTSTATUS StartServiceObject(TransportObject service, const std::vector<std::u16string>& arguments) override;
  [[nodiscard]] NTSTATUS ControlServiceObject(TransportObject service, ULONG control,
                                              protocol::ServiceStatusRecord* status) override;
  [[nodiscard]] NTSTATUS QueryServiceObject(TransportObject service, protocol::ServiceStatusRecord* status) override;
  [[nodiscard]] NTSTATUS ConnectServiceDispatcher(const std::vector<std::u16string>& names, std::u16string* name) override;
  [[nodiscard]] NTSTATUS WaitServiceControl(const protocol::WaitServiceControlRequest& request,
                                            protocol::WaitServiceControlReply* reply) override;
  [[nodiscard]] NTSTATUS ReportServiceStatus(const std::u16string& name, const protocol::ServiceStatusRecord& status) override;
  // A thread of a simulated process acts as that process on this machine.
  std::function<void()> BindThread(std::function<void()> body) const override;

  // The Linux user every simulated process acts as from now on, in requests that grant by
  // user (registry opens); keys already open keep the rights they were opened with.
  void ActAsUser(uint32_t uid);
  uint32_t User() const;

  // Objects the simulated process `processId` holds on the machine.
  size_t ObjectsHeldBy(ULONG processId) const;

 private:
  class Loopback;

  std::unique_ptr<Loopback> loopback_;
  std::unique_ptr<Transport> requests_;
};

}  // namespace nb::win
