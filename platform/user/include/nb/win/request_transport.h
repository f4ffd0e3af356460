// The transport of libnbwin: every call becomes one request message of the protocol,
// carried to the machine by a channel, and its reply message is decoded (and checked)
// into the call's results. The in-process loopback and the host's socket are channels.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "nb/win/transport.h"

namespace nb::win {

// Carries messages to the machine and back; knows nothing of what they hold.
class Channel {
 public:
  virtual ~Channel() = default;
  // Sends one request message and receives its reply message; an error status when the
  // machine cannot be reached.
  [[nodiscard]] virtual NTSTATUS Exchange(std::span<const uint8_t> request, std::vector<uint8_t>* reply) = 0;
};

class RequestTransport : public Transport {
 public:
  explicit RequestTransport(Channel& channel) : channel_(channel) {}

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
  [[nodiscard]] NTSTATUS QueryVolumes(std::vector<protocol::VolumeEntry>* volumes) override;
  [[nodiscard]] NTSTATUS AddVolume(const protocol::AddVolumeRequest& request, ULONG* serial) override;
  [[nodiscard]] NTSTATUS EjectVolume(uint8_t letter) override;
  [[nodiscard]] NTSTATUS InsertVolume(const protocol::InsertVolumeRequest& request,
                                      protocol::InsertVolumeReply* reply) override;
  [[nodiscard]] NTSTATUS OpenRegistryKey(TransportObject parent, RegistryRoot root, const std::u16string& subKey,
                                         ACCESS_MASK desiredAccess, bool create, TransportObject* key,
                                         ULONG* disposition) override;
  [[nodiscard]] NTSTATUS DeleteRegistryKey(TransportObject key) override;
  [[nodiscard]] NTSTATUS EnumerateRegistryKey(TransportObject key, ULONG index, std::u16string* name,
                                              LONGLONG* lastWriteTime) override;
  [[nodiscard]] NTSTATUS QueryRegistryKey(TransportObject key, RegistryKeyInfo* info) override;
  [[nodiscard]] NTSTATUS QueryRegistryValue(TransportObject key, const std::u16string& name, ULONG* type,
                                            std::vector<BYTE>* data) override;
  // Data over protocol::kMaxValueDataBytes is refused with STATUS_INSUFFICIENT_RESOURCES
  // before anything is sent.
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

 private:
  // One round trip: encodes `request`, exchanges it and decodes the reply into `reply`.
  // The request's status, or the status of a step that failed.
  template <typename Request>
  [[nodiscard]] NTSTATUS Call(const Request& request, typename Request::ReplyType* reply);

  Channel& channel_;
};

}  // namespace nb::win
