// The registry's requests at the dispatcher: served on the machine's hive with the
// client's Linux user, key handles filed in the client's table like its other objects,
// and value data that a message cannot carry refused whole.
#include <gtest/gtest.h>
#include <ntifs.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/registry.h"
#include "nb/protocol/protocol.h"
#include "nb/server/server.h"
#include "nb/testing/machine.h"
#include "nb/text.h"

namespace {

using namespace nb::protocol;
using nb::server::ClientContext;
using nb::server::DispatchRequest;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRoot = 0;
constexpr uint32_t kUser = 1000;
constexpr uint32_t kLocalMachine = static_cast<uint32_t>(nb::RegistryRoot::kLocalMachine);
constexpr uint32_t kCurrentUser = static_cast<uint32_t>(nb::RegistryRoot::kCurrentUser);

template <typename Request>
std::pair<NTSTATUS, typename Request::ReplyType> Call(ClientContext& client, const Request& request) {
  std::vector<uint8_t> message;
  EXPECT_EQ(EncodeRequest(request, &message), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Reply reply;
  EXPECT_EQ(DecodeReply(DispatchRequest(client, message), Request::kKind, &status, &reply), STATUS_SUCCESS);
  return {status, std::get<typename Request::ReplyType>(reply)};
}

OpenRegistryKeyRequest KeyOpen(uint32_t root, const std::u16string& path, uint32_t access, bool create = false,
                               uint64_t parent = 0) {
  return OpenRegistryKeyRequest{
      .parent = parent, .root = root, .desiredAccess = access, .create = create, .subKey = path};
}

SetRegistryValueRequest DwordValue(uint64_t key, const std::u16string& name, uint32_t value) {
  return SetRegistryValueRequest{.key = key,
                                 .type = REG_DWORD,
                                 .name = name,
                                 .data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

class RegistryRequests : public ::testing::Test {
 protected:
  uint64_t OpenKey(ClientContext& client, uint32_t root, const std::u16string& path, uint32_t access,
                   bool create = false) {
    auto [status, reply] = Call(client, KeyOpen(root, path, access, create));
    EXPECT_EQ(status, STATUS_SUCCESS) << nb::text::Utf16ToUtf8(path);
    return reply.key;
  }
  size_t OpenKeys() { return machine.Kernel().Registry().OpenKeyCount(); }

  nb::testing::Machine machine;
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
  PEPROCESS other = machine.Process("other.exe", 1300);
};

TEST_F(RegistryRequests, EveryOperationIsServedOnTheHive) {
  ClientContext client(service, kRoot);
  auto [created, made] = Call(client, KeyOpen(kLocalMachine, u"SOFTWARE\\Nimbra\\Settings", KEY_ALL_ACCESS, true));
  ASSERT_EQ(created, STATUS_SUCCESS);
  EXPECT_EQ(made.key, 4u) << "a value of the client's table";
  EXPECT_EQ(made.disposition, static_cast<uint32_t>(REG_CREATED_NEW_KEY));
  auto [again, existing] = Call(client, KeyOpen(kLocalMachine, u"software\\NIMBRA\\settings", KEY_READ, true));
  ASSERT_EQ(again, STATUS_SUCCESS);
  EXPECT_EQ(existing.disposition, static_cast<uint32_t>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(OpenKeys(), 2u);

  EXPECT_EQ(Call(client, DwordValue(made.key, u"Version", 7)).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, SetRegistryValueRequest{.key = made.key, .type = REG_SZ}).first, STATUS_SUCCESS);
  auto [queried, value] = Call(client, QueryRegistryValueRequest{.key = existing.key, .name = u"VERSION"});
  ASSERT_EQ(queried, STATUS_SUCCESS);
  EXPECT_EQ(value.type, static_cast<uint32_t>(REG_DWORD));
  EXPECT_EQ(value.data, (Bytes{7, 0, 0, 0}));

  auto [described, info] = Call(client, QueryRegistryKeyRequest{made.key});
  ASSERT_EQ(described, STATUS_SUCCESS);
  EXPECT_EQ(info.subKeys, 0u);
  EXPECT_EQ(info.values, 2u);
  EXPECT_EQ(info.maxValueNameLength, 7u);
  EXPECT_EQ(info.maxValueDataLength, 4u);
  EXPECT_GT(info.lastWriteTime, 0);

  // Values in name order, the default (empty) name first.
  auto [first, defaultValue] = Call(client, EnumerateRegistryValueRequest{.key = made.key, .index = 0});
  ASSERT_EQ(first, STATUS_SUCCESS);
  EXPECT_EQ(defaultValue.name, u"");
  EXPECT_EQ(defaultValue.type, static_cast<uint32_t>(REG_SZ));
  auto [second, version] = Call(client, EnumerateRegistryValueRequest{.key = made.key, .index = 1});
  ASSERT_EQ(second, STATUS_SUCCESS);
  EXPECT_EQ(version.name, u"Version");
  EXPECT_EQ(version.data, (Bytes{7, 0, 0, 0}));
  EXPECT_EQ(Call(client, EnumerateRegistryValueRequest{.key = made.key, .index = 2}).first, STATUS_NO_MORE_ENTRIES);

  uint64_t parent = OpenKey(client, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_READ);
  auto [listed, child] = Call(client, EnumerateRegistryKeyRequest{.key = parent, .index = 0});
  ASSERT_EQ(listed, STATUS_SUCCESS);
  EXPECT_EQ(child.name, u"Settings");
  EXPECT_GT(child.lastWriteTime, 0);
  EXPECT_EQ(Call(client, EnumerateRegistryKeyRequest{.key = parent, .index = 1}).first, STATUS_NO_MORE_ENTRIES);
  // Below an open key.
  auto [below, belowKey] = Call(client, KeyOpen(0, u"Settings", KEY_QUERY_VALUE, false, parent));
  ASSERT_EQ(below, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, QueryRegistryValueRequest{.key = belowKey.key, .name = u"Version"}).first, STATUS_SUCCESS);

  EXPECT_EQ(Call(client, DeleteRegistryValueRequest{.key = made.key, .name = u"version"}).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, QueryRegistryValueRequest{.key = made.key, .name = u"Version"}).first,
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Call(client, DeleteRegistryKeyRequest{parent}).first, STATUS_ACCESS_DENIED) << "opened without DELETE";
  EXPECT_EQ(Call(client, DeleteRegistryKeyRequest{made.key}).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, QueryRegistryKeyRequest{existing.key}).first, STATUS_KEY_DELETED);

  for (uint64_t key : {made.key, existing.key, parent, belowKey.key}) {
    EXPECT_EQ(Call(client, CloseObjectRequest{key}).first, STATUS_SUCCESS);
  }
  EXPECT_EQ(OpenKeys(), 0u);
  EXPECT_EQ(client.Count(), 0u);
}

TEST_F(RegistryRequests, AUserWritesOnlyWhereItsUserMay) {
  ClientContext root(service, kRoot);
  uint64_t machineKey = OpenKey(root, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_ALL_ACCESS, true);
  ASSERT_EQ(Call(root, DwordValue(machineKey, u"Setting", 1)).first, STATUS_SUCCESS);

  ClientContext user(other, kUser);
  // Every road to a machine key for writing: a create, an open for writing, a predefined
  // root, an absolute name, and a create below a key opened for reading.
  EXPECT_EQ(Call(user, KeyOpen(kLocalMachine, u"SOFTWARE\\Mine", KEY_ALL_ACCESS, true)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, KeyOpen(kLocalMachine, u"SOFTWARE\\Mine", KEY_READ, true)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, KeyOpen(kLocalMachine, u"SOFTWARE\\Nimbra", KEY_SET_VALUE)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, KeyOpen(kLocalMachine, u"", KEY_WRITE)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, KeyOpen(0, u"\\Registry\\Machine\\SOFTWARE\\Nimbra", KEY_SET_VALUE)).first,
            STATUS_ACCESS_DENIED);
  uint64_t readable = OpenKey(user, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_READ);
  EXPECT_EQ(Call(user, KeyOpen(0, u"Sub", KEY_READ, true, readable)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, DwordValue(readable, u"Setting", 2)).first, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Call(user, DeleteRegistryValueRequest{.key = readable, .name = u"Setting"}).first, STATUS_ACCESS_DENIED);
  auto [maximum, granted] = Call(user, KeyOpen(kLocalMachine, u"SOFTWARE\\Nimbra", MAXIMUM_ALLOWED));
  ASSERT_EQ(maximum, STATUS_SUCCESS);
  EXPECT_EQ(Call(user, DwordValue(granted.key, u"Setting", 2)).first, STATUS_ACCESS_DENIED);
  auto [read, value] = Call(user, QueryRegistryValueRequest{.key = readable, .name = u"Setting"});
  ASSERT_EQ(read, STATUS_SUCCESS);
  EXPECT_EQ(value.data, (Bytes{1, 0, 0, 0}));

  // Its own key is its to write.
  uint64_t own = OpenKey(user, kCurrentUser, u"Software\\Nimbra", KEY_ALL_ACCESS, true);
  EXPECT_EQ(Call(user, DwordValue(own, u"Mine", 5)).first, STATUS_SUCCESS);

  // A key opened for writing keeps its rights when its client acts as another user.
  user.SetUser(kRoot);
  uint64_t writable = OpenKey(user, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_ALL_ACCESS);
  user.SetUser(kUser);
  EXPECT_EQ(Call(user, DwordValue(writable, u"Setting", 3)).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(user, KeyOpen(kLocalMachine, u"SOFTWARE\\Nimbra", KEY_SET_VALUE)).first, STATUS_ACCESS_DENIED);
}

TEST_F(RegistryRequests, KeyValuesAreKeysOfTheirOwnClientOnly) {
  ClientContext owner(service, kRoot);
  ClientContext stranger(other, kRoot);
  uint64_t key = OpenKey(owner, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_ALL_ACCESS, true);
  CreateEventRequest create{.handle = 40};
  auto [created, event] = Call(owner, create);
  ASSERT_EQ(created, STATUS_SUCCESS);

  // Another client's value, a value never handed out and an event are no keys.
  struct Use {
    ClientContext* client;
    uint64_t value;
  };
  for (const Use& use : {Use{&stranger, key}, Use{&owner, 400}, Use{&owner, 0x100000004}, Use{&owner, event.object}}) {
    ClientContext& client = *use.client;
    EXPECT_EQ(Call(client, KeyOpen(0, u"Sub", KEY_ALL_ACCESS, true, use.value)).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, DwordValue(use.value, u"v", 1)).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, QueryRegistryValueRequest{.key = use.value}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, DeleteRegistryValueRequest{.key = use.value}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, EnumerateRegistryValueRequest{.key = use.value}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, EnumerateRegistryKeyRequest{.key = use.value}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, QueryRegistryKeyRequest{use.value}).first, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Call(client, DeleteRegistryKeyRequest{use.value}).first, STATUS_INVALID_HANDLE);
  }
  EXPECT_EQ(Call(stranger, CloseObjectRequest{key}).first, STATUS_INVALID_HANDLE);

  // A key is no device and no event.
  DeviceControlRequest control{.object = key, .code = 1};
  EXPECT_EQ(Call(owner, control).first, STATUS_INVALID_DEVICE_REQUEST);
  QueryVolumeInformationRequest volume{.object = key, .informationClass = FileFsDeviceInformation, .length = 8};
  EXPECT_NE(Call(owner, volume).first, STATUS_SUCCESS);
  EXPECT_EQ(Call(owner, SetEventRequest{key, true}).first, STATUS_OBJECT_TYPE_MISMATCH);
  WaitForObjectsRequest wait{.objects = {key}, .hasTimeout = true};
  EXPECT_EQ(Call(owner, wait).first, STATUS_OBJECT_TYPE_MISMATCH);

  // An unknown root names no key.
  EXPECT_EQ(Call(owner, KeyOpen(99, u"SOFTWARE", KEY_READ)).first, STATUS_INVALID_HANDLE);

  EXPECT_EQ(Call(owner, DwordValue(key, u"Still", 1)).first, STATUS_SUCCESS) << "nothing closed it";
  EXPECT_EQ(OpenKeys(), 1u);
}

TEST_F(RegistryRequests, AClientsEndClosesItsKeys) {
  {
    ClientContext client(service, kRoot);
    OpenKey(client, kLocalMachine, u"SOFTWARE\\Nimbra", KEY_ALL_ACCESS, true);
    OpenKey(client, kCurrentUser, u"Software", KEY_READ, true);
    EXPECT_EQ(OpenKeys(), 2u);
    client.CloseAll();
    EXPECT_EQ(OpenKeys(), 0u);
    // An open racing with the end is served, but its key does not outlive it.
    EXPECT_EQ(Call(client, KeyOpen(kLocalMachine, u"SOFTWARE", KEY_READ)).first, STATUS_PROCESS_IS_TERMINATING);
    EXPECT_EQ(OpenKeys(), 0u);
  }
  {
    ClientContext client(service, kRoot);
    OpenKey(client, kLocalMachine, u"SOFTWARE", KEY_READ);
  }
  EXPECT_EQ(OpenKeys(), 0u) << "the context closes its keys when it goes";
}

TEST_F(RegistryRequests, DataLongerThanAMessageCarriesIsRefusedWhole) {
  // A long value stored by the machine itself, past what a reply may carry.
  nb::kernel::RegistryHive& hive = machine.Kernel().Registry();
  nb::kernel::RegistryCaller system{0, 4};
  nb::kernel::RegistryHandle handle;
  ASSERT_EQ(hive.OpenKey(system, 0, nb::RegistryRoot::kLocalMachine, u"SOFTWARE\\Big", KEY_ALL_ACCESS, true, &handle),
            STATUS_SUCCESS);
  Bytes longData(kMaxValueDataBytes + 1, 0xAB);
  Bytes fitting(kMaxValueDataBytes, 0xCD);
  ASSERT_EQ(hive.SetValue(system, handle, u"Long", REG_BINARY, longData.data(), longData.size()), STATUS_SUCCESS);
  ASSERT_EQ(hive.CloseKey(system, handle), STATUS_SUCCESS);

  ClientContext client(service, kRoot);
  uint64_t key = OpenKey(client, kLocalMachine, u"SOFTWARE\\Big", KEY_ALL_ACCESS);
  auto [queried, value] = Call(client, QueryRegistryValueRequest{.key = key, .name = u"Long"});
  EXPECT_EQ(queried, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(value.data.empty());
  auto [listed, entry] = Call(client, EnumerateRegistryValueRequest{.key = key, .index = 0});
  EXPECT_EQ(listed, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(entry.data.empty());
  auto [described, info] = Call(client, QueryRegistryKeyRequest{key});
  ASSERT_EQ(described, STATUS_SUCCESS);
  EXPECT_EQ(info.maxValueDataLength, longData.size()) << "its size is no secret";

  // Data at the cap travels both ways.
  EXPECT_EQ(
      Call(client, SetRegistryValueRequest{.key = key, .type = REG_BINARY, .name = u"Fits", .data = fitting}).first,
      STATUS_SUCCESS);
  auto [read, fits] = Call(client, QueryRegistryValueRequest{.key = key, .name = u"Fits"});
  ASSERT_EQ(read, STATUS_SUCCESS);
  EXPECT_EQ(fits.data, fitting);
}

}  // namespace
