// The Win32 registry calls of libnbwin on a machine, in process and over its socket: predefined keys, return
// codes and buffer sizes, enumeration, deletion, the caller's Linux identity, and handles.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/kernel/registry.h"
#include "nb/protocol/protocol.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/handle_table.h"
#include "nb/testing/carrier.h"

namespace {

using nb::testing::Carrier;

class RegistryCalls : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(carrier.Ready());
    // The suite writes the machine's keys, which only root may.
    if (carrier.InProcess()) {
      carrier.InProcess()->ActAsUser(0);
    } else if (geteuid() != 0) {
      GTEST_SKIP() << "writes HKEY_LOCAL_MACHINE, which over the socket needs a process running as root";
    }
  }

  HKEY Create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
  void SetDword(HKEY key, const char16_t* name, DWORD value) {
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
  }
  template <size_t N>
  void SetString(HKEY key, const char16_t* name, const char16_t (&text)[N]) {
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), N * sizeof(char16_t)),
              ERROR_SUCCESS);
  }

  nb::testing::Machine machine;
  nb::testing::CarriedTransport carrier{machine.Kernel(), GetParam()};
};

TEST_P(RegistryCalls, CreateOpenAndCloseAKey) {
  DWORD disposition = 0;
  HKEY made = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra\\Settings", &disposition);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = Create(HKEY_LOCAL_MACHINE, u"software\\NIMBRA\\settings", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra", 0, KEY_READ, &opened), ERROR_SUCCESS);
  HKEY relative = nullptr;
  ASSERT_EQ(RegOpenKeyExW(opened, u"Settings", 0, KEY_READ, &relative), ERROR_SUCCESS);
  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyExW(relative, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS) << "no name: the key itself";

  HKEY missing = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &missing), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &missing, nullptr),
            ERROR_INVALID_PARAMETER);

  for (HKEY key : {made, again, opened, relative, same}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(made), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(nb::win::ProcessHandles().Count(), 0u);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u);
}

TEST_P(RegistryCalls, TheCallsReturnTheirErrorAndLeaveTheLastErrorAlone) {
  SetLastError(1234);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_P(RegistryCalls, OnlyKeyHandlesAreKeys) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  HKEY notAKey = static_cast<HKEY>(event);
  DWORD size = 0;
  HKEY key;
  EXPECT_EQ(RegQueryValueExW(notAKey, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(notAKey, u"x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(notAKey), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the event is still open";
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(0x7FF0), u"v", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);

  // A key handle given where a device is wanted is refused, not taken for one.
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(software, 0x222000, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
}

TEST_P(RegistryCalls, QueriesReportTheSizeAndAskForMoreWhenTheBufferIsShort) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Sizes");
  SetString(key, u"Path", u"C:\\Program Files\\Nimbra");  // 23 characters and the NUL: 48 bytes
  SetDword(key, nullptr, 42);                              // the default value
  struct Case {
    const char16_t* name;
    bool withBuffer;
    DWORD offered;
    LSTATUS result;
    DWORD reported;
  };
  const Case cases[] = {
      {u"Path", false, 0, ERROR_SUCCESS, 48},      {u"Path", true, 48, ERROR_SUCCESS, 48},
      {u"Path", true, 200, ERROR_SUCCESS, 48},     {u"Path", true, 47, ERROR_MORE_DATA, 48},
      {u"Path", true, 0, ERROR_MORE_DATA, 48},     {u"PATH", true, 48, ERROR_SUCCESS, 48},
      {u"", true, 4, ERROR_SUCCESS, 4},            {nullptr, true, 3, ERROR_MORE_DATA, 4},
      {u"Missing", true, 48, ERROR_FILE_NOT_FOUND, 48},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> buffer(256, 0xCC);
    DWORD type = 0xFFFF;
    DWORD size = c.offered;
    EXPECT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, c.withBuffer ? buffer.data() : nullptr, &size), c.result)
        << c.offered;
    EXPECT_EQ(size, c.reported) << c.offered;
    if (c.result == ERROR_SUCCESS && c.withBuffer && c.reported == 48) {
      EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data())), u"C:\\Program Files\\Nimbra");
      EXPECT_EQ(buffer[48], 0xCC) << "nothing past the value";
    }
    if (c.result == ERROR_MORE_DATA) {
      EXPECT_EQ(buffer[0], 0xCC) << "a short buffer is left alone";
    }
  }
  DWORD size = 4;
  BYTE buffer[4];
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Path", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, u"Path", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, u"Path", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS) << "only asks";
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_P(RegistryCalls, ValuesRoundTripByType) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Types");
  const char16_t multi[] = u"a\0bc\0";
  const BYTE binary[] = {0, 1, 2, 0, 255};
  DWORD number = 0x01020304;
  struct Case {
    const char16_t* name;
    DWORD type;
    const void* data;
    DWORD size;
  };
  const Case cases[] = {
      {u"Sz", REG_SZ, u"text", 10},         {u"Expand", REG_EXPAND_SZ, u"%TEMP%", 14},
      {u"Multi", REG_MULTI_SZ, multi, sizeof multi}, {u"Binary", REG_BINARY, binary, sizeof binary},
      {u"Dword", REG_DWORD, &number, 4},    {u"None", REG_NONE, nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegSetValueExW(key, c.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size), ERROR_SUCCESS);
  }
  for (const Case& c : cases) {
    BYTE buffer[64];
    DWORD type = 0xFFFF;
    DWORD size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.size);
    if (c.size) {
      EXPECT_EQ(std::memcmp(buffer, c.data, c.size), 0);
    }
  }
  EXPECT_EQ(RegSetValueExW(key, u"Bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"dword"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"Dword"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_P(RegistryCalls, EnumerationsGoInNameOrderAndSayWhenTheyAreDone) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Enum");
  for (const char16_t* name : {u"Beta", u"alpha", u"Gamma"}) {
    RegCloseKey(Create(key, name));
    SetDword(key, name, 1);
  }
  SetString(key, u"LongerValue", u"0123456789");

  std::vector<std::u16string> keys;
  for (DWORD index = 0;; ++index) {
    WCHAR name[256];
    DWORD length = 256;
    FILETIME written{};
    LSTATUS result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, &written);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(length, std::u16string(name).size());
    EXPECT_NE(written.dwHighDateTime, 0u);
    keys.push_back(name);
  }
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"alpha", u"Beta", u"Gamma"}));
  WCHAR name[16];
  DWORD length = 5;  // "alpha" needs 6 with the NUL
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(length, 5u) << "the count of a short name buffer is left alone";
  length = 16;
  EXPECT_EQ(RegEnumKeyExW(key, 99, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExW(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

  std::vector<std::u16string> values;
  for (DWORD index = 0;; ++index) {
    DWORD length = 16;
    LSTATUS result = RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    values.push_back(name);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"alpha", u"Beta", u"Gamma", u"LongerValue"}));
  BYTE data[8];
  DWORD type = 0;
  DWORD size = sizeof data;
  length = 16;
  EXPECT_EQ(RegEnumValueW(key, 3, name, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 22u) << "the data size needed";
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  length = 11;  // "LongerValue" needs 12
  size = 64;
  EXPECT_EQ(RegEnumValueW(key, 3, name, &length, nullptr, nullptr, nullptr, &size), ERROR_MORE_DATA);
  EXPECT_EQ(length, 11u);
  length = 16;
  size = 0;
  EXPECT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegEnumValueW(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  DWORD subKeys = 0, maxSubKey = 0, valueCount = 0, maxValueName = 0, maxValue = 0, classLength = 7;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, &classLength, nullptr, &subKeys, &maxSubKey, nullptr, &valueCount,
                             &maxValueName, &maxValue, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 3u);
  EXPECT_EQ(maxSubKey, 5u);
  EXPECT_EQ(valueCount, 4u);
  EXPECT_EQ(maxValueName, 11u);
  EXPECT_EQ(maxValue, 22u);
  EXPECT_EQ(classLength, 0u);
  EXPECT_NE(written.dwHighDateTime, 0u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_P(RegistryCalls, AKeyWithSubkeysIsNotDeletedAndADeletedKeySaysSo) {
  HKEY parent = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Doomed");
  RegCloseKey(Create(parent, u"Child"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Doomed"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Doomed"), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(parent, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u) << "the key opened for deleting was closed";
}

TEST_P(RegistryCalls, PredefinedKeysStandForTheirPlaces) {
  HKEY classes = Create(HKEY_CLASSES_ROOT, u".nbl");
  SetDword(classes, u"v", 1);
  HKEY config = Create(HKEY_CURRENT_CONFIG, u"Nimbra");
  SetDword(config, u"v", 2);
  HKEY mine = Create(HKEY_CURRENT_USER, u"Software\\Nimbra");
  SetDword(mine, u"v", 3);
  struct Case {
    HKEY root;
    const char16_t* path;
    DWORD value;
  };
  for (const Case& c : {Case{HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.nbl", 1},
                        Case{HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\Nimbra", 2},
                        Case{HKEY_USERS, u"S-1-22-1-0\\Software\\Nimbra", 3}}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(c.root, c.path, 0, KEY_READ, &key), ERROR_SUCCESS) << nb::text::Utf16ToUtf8(c.path);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, c.value);
    RegCloseKey(key);
  }
  // Values of a predefined key itself.
  SetDword(HKEY_CURRENT_USER, u"Direct", 4);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, u"direct", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 4u);
  for (HKEY key : {classes, config, mine}) RegCloseKey(key);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u) << "keys opened for one call are closed";
}

TEST_P(RegistryCalls, AUserReadsTheMachineKeysAndWritesOnlyItsOwn) {
  if (carrier.OverSocket()) GTEST_SKIP() << "acts as several users, as only an in-process machine can";
  nb::win::InProcessTransport& transport = *carrier.InProcess();
  HKEY machineKey = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra");
  SetDword(machineKey, u"Setting", 1);
  RegCloseKey(machineKey);
  SetDword(HKEY_CURRENT_USER, u"RootsOwn", 1);

  transport.ActAsUser(1000);
  HKEY key = nullptr;
  DWORD value = 9;
  auto* bytes = reinterpret_cast<BYTE*>(&value);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra", 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"Setting", 0, REG_DWORD, bytes, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(HKEY_CLASSES_ROOT, u"v", 0, REG_DWORD, bytes, 4), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nimbra", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"Setting", 0, REG_DWORD, bytes, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(key, u"Setting"), ERROR_ACCESS_DENIED);
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"Setting", nullptr, nullptr, bytes, &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  RegCloseKey(key);

  HKEY own = Create(HKEY_CURRENT_USER, u"Software\\Nimbra");
  SetDword(own, u"Mine", 5);
  RegCloseKey(own);
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-1000\\Software\\Nimbra", 0, KEY_READ, &own), ERROR_SUCCESS);
  RegCloseKey(own);
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-0", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);

  // Root sees the user's key, and the handle it opened keeps its rights whoever uses it.
  transport.ActAsUser(0);
  HKEY writable = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-1000\\Software\\Nimbra", 0, KEY_ALL_ACCESS, &writable), ERROR_SUCCESS);
  transport.ActAsUser(1000);
  SetDword(writable, u"FromRoot", 6);
  RegCloseKey(writable);
}

TEST_P(RegistryCalls, ThreadsOpenWriteAndReadKeysAtOnce) {
  HKEY shared = Create(HKEY_CURRENT_USER, u"Software\\Shared");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 3; ++writer) {
    threads.emplace_back([&, writer] {
      std::u16string name = u"w" + std::u16string(1, static_cast<char16_t>(u'0' + writer));
      for (DWORD round = 1; round <= 100; ++round) {
        HKEY own = nullptr;
        if (RegCreateKeyExW(shared, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &own, nullptr) !=
            ERROR_SUCCESS) {
          ++failures;
          continue;
        }
        DWORD pair[2] = {round, ~round};
        if (RegSetValueExW(shared, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(pair), sizeof pair) !=
                ERROR_SUCCESS ||
            RegCloseKey(own) != ERROR_SUCCESS) {
          ++failures;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 100; ++round) {
      for (DWORD index = 0;; ++index) {
        WCHAR name[8];
        DWORD length = 8;
        DWORD pair[2];
        DWORD size = sizeof pair;
        LSTATUS result = RegEnumValueW(shared, index, name, &length, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(pair), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || size != sizeof pair || pair[1] != ~pair[0]) ++failures;
      }
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  DWORD subKeys = 0, values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(shared, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 3u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(RegCloseKey(shared), ERROR_SUCCESS);
  EXPECT_EQ(nb::win::ProcessHandles().Count(), 0u);
}

TEST_P(RegistryCalls, DataLongerThanARequestCarriesIsRefusedWhole) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Big");
  std::vector<BYTE> fitting(nb::protocol::kMaxValueDataBytes, 0x11);
  std::vector<BYTE> tooLong(nb::protocol::kMaxValueDataBytes + 1, 0x22);
  ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, fitting.data(), static_cast<DWORD>(fitting.size())),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, tooLong.data(), static_cast<DWORD>(tooLong.size())),
            ERROR_NO_SYSTEM_RESOURCES);
  std::vector<BYTE> read(tooLong.size());
  DWORD size = static_cast<DWORD>(read.size());
  ASSERT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, read.data(), &size), ERROR_SUCCESS);
  read.resize(size);
  EXPECT_EQ(read, fitting) << "the value stays as it was";

  // A longer value the machine stored itself is not handed out in part.
  nb::kernel::RegistryHive& hive = machine.Kernel().Registry();
  nb::kernel::RegistryCaller system{0, 4};
  nb::kernel::RegistryHandle handle;
  ASSERT_EQ(hive.OpenKey(system, 0, nb::RegistryRoot::kLocalMachine, u"SOFTWARE\\Big", KEY_ALL_ACCESS, true, &handle),
            STATUS_SUCCESS);
  ASSERT_EQ(hive.SetValue(system, handle, u"Long", REG_BINARY, tooLong.data(), tooLong.size()), STATUS_SUCCESS);
  ASSERT_EQ(hive.CloseKey(system, handle), STATUS_SUCCESS);
  HKEY machineKey = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Big", 0, KEY_READ, &machineKey), ERROR_SUCCESS);
  size = static_cast<DWORD>(read.size());
  read.assign(read.size(), 0);
  EXPECT_EQ(RegQueryValueExW(machineKey, u"Long", nullptr, nullptr, read.data(), &size), ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(read[0], 0);
  RegCloseKey(machineKey);
  RegCloseKey(key);
}

TEST_P(RegistryCalls, KeysCloseWithTheTransport) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Open");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 1u);
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(machine.Kernel().Registry().OpenKeyCount(), 0u);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(HKEY_CURRENT_USER, u"v", nullptr, nullptr, nullptr, &size), ERROR_NOT_READY);
}

INSTANTIATE_TEST_SUITE_P(Carriers, RegistryCalls, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
