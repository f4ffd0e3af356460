// The nbdv device list by plain calls.
#include <gtest/gtest.h>

#include "device_list.h"

namespace {

struct AddCase {
  UCHAR letter;
  ULONG serial;
  NTSTATUS status;
};

TEST(DeviceList, AddChecksLetterAndSerial) {
  const AddCase cases[] = {
      {'E', 1, STATUS_SUCCESS},        {'z', 2, STATUS_SUCCESS},          {'@', 3, STATUS_INVALID_PARAMETER},
      {'[', 3, STATUS_INVALID_PARAMETER}, {'1', 3, STATUS_INVALID_PARAMETER}, {0, 3, STATUS_INVALID_PARAMETER},
      {'F', 0, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    DeviceTable table{};
    bool changed;
    EXPECT_EQ(AddDevice(table, c.letter, c.serial, &changed), c.status) << c.letter;
    EXPECT_EQ(table.count, NT_SUCCESS(c.status) ? 1u : 0u);
    EXPECT_EQ(changed, NT_SUCCESS(c.status));
  }
}

TEST(DeviceList, SerialIsTheKeyAndLettersAreStoredUpperCase) {
  DeviceTable table{};
  bool changed;
  ASSERT_EQ(AddDevice(table, 'e', 0xABCD, &changed), STATUS_SUCCESS);
  EXPECT_EQ(table.devices[0].letter, 'E');
  ASSERT_EQ(AddDevice(table, 'E', 0xABCD, &changed), STATUS_SUCCESS);
  EXPECT_FALSE(changed);  // nothing new: no pulse
  ASSERT_EQ(AddDevice(table, 'G', 0xABCD, &changed), STATUS_SUCCESS);
  EXPECT_TRUE(changed);  // the volume moved to another letter
  EXPECT_EQ(table.count, 1u);
  EXPECT_EQ(table.devices[0].letter, 'G');
  ASSERT_EQ(AddDevice(table, 'G', 0x1234, &changed), STATUS_SUCCESS);
  EXPECT_EQ(table.count, 2u);
}

TEST(DeviceList, DeleteBySerialKeepsTheOrderOfTheRest) {
  DeviceTable table{};
  bool changed;
  for (ULONG serial : {11u, 22u, 33u}) ASSERT_EQ(AddDevice(table, 'H', serial, &changed), STATUS_SUCCESS);
  EXPECT_EQ(DeleteDevice(table, 22), STATUS_SUCCESS);
  EXPECT_EQ(DeleteDevice(table, 22), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(DeleteDevice(table, 0), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(table.count, 2u);
  EXPECT_EQ(table.devices[0].serial, 11u);
  EXPECT_EQ(table.devices[1].serial, 33u);
  EXPECT_EQ(table.devices[2].serial, 0u);
}

TEST(DeviceList, FullListAndShortBuffersAreRefused) {
  DeviceTable table{};
  bool changed;
  for (ULONG serial = 1; serial <= NBDV_MAX_DEVICES; ++serial) {
    ASSERT_EQ(AddDevice(table, 'K', serial, &changed), STATUS_SUCCESS);
  }
  EXPECT_EQ(AddDevice(table, 'K', 1000, &changed), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(AddDevice(table, 'L', 5, &changed), STATUS_SUCCESS);  // a known serial still moves

  NBDV_DEVICE records[NBDV_MAX_DEVICES];
  ULONG written;
  EXPECT_EQ(ListDevices(table, records, sizeof records - 1, &written), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(ListDevices(table, records, sizeof records, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, sizeof records);
  EXPECT_EQ(records[4].letter, 'L');
}

}  // namespace
