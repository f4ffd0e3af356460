// The registry hive by plain calls: naming and access rules, keys and values, handles,
// the hive file across reopening and across a writer killed mid-stream, and many threads.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ntifs.h>

#include "nb/kernel/registry.h"
#include "nb/kernel/registry_rules.h"
#include "nb/text.h"

namespace {

using nb::RegistryRoot;
using nb::kernel::RegistryCaller;
using nb::kernel::RegistryHandle;
using nb::kernel::RegistryHive;

constexpr RegistryCaller kRoot{0, 100};
constexpr RegistryCaller kUser{1000, 200};
constexpr RegistryCaller kOtherUser{1001, 300};

std::vector<BYTE> Bytes(const void* data, size_t length) {
  auto* bytes = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(bytes, bytes + length);
}

std::vector<BYTE> Dword(DWORD value) { return Bytes(&value, sizeof value); }

template <size_t N>
std::vector<BYTE> Wide(const char16_t (&text)[N]) {
  return Bytes(text, N * sizeof(char16_t));  // with the terminator
}

std::string TempPath(const char* name) {
  auto dir = std::filesystem::temp_directory_path() / ("nb_registry_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

// --- rules -------------------------------------------------------------------------------

TEST(RegistryRules, KeyPathsSplitIntoComponents) {
  struct Case {
    std::u16string path;
    NTSTATUS status;
    std::vector<std::u16string> components;
  };
  const Case cases[] = {
      {u"", STATUS_SUCCESS, {}},
      {u"SOFTWARE", STATUS_SUCCESS, {u"SOFTWARE"}},
      {u"SOFTWARE\\Nimbra\\", STATUS_SUCCESS, {u"SOFTWARE", u"Nimbra"}},
      {u"a b\\c.d", STATUS_SUCCESS, {u"a b", u"c.d"}},
      {u"\\SOFTWARE", STATUS_OBJECT_PATH_SYNTAX_BAD, {}},
      {u"SOFTWARE\\\\Nimbra", STATUS_OBJECT_PATH_SYNTAX_BAD, {}},
      {u"\\", STATUS_SUCCESS, {}},
      {std::u16string(u"a\0b", 3), STATUS_OBJECT_NAME_INVALID, {}},
      {std::u16string(255, u'k'), STATUS_SUCCESS, {std::u16string(255, u'k')}},
      {std::u16string(256, u'k'), STATUS_INVALID_PARAMETER, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> components;
    EXPECT_EQ(nb::kernel::SplitKeyPath(c.path, &components), c.status) << nb::text::Utf16ToUtf8(c.path);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(components, c.components);
    }
  }
  std::u16string deep;
  for (size_t i = 0; i <= nb::kRegistryMaxDepth; ++i) deep += u"k\\";
  std::vector<std::u16string> components;
  EXPECT_EQ(nb::kernel::SplitKeyPath(deep, &components), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(nb::kernel::SplitAbsoluteKeyPath(u"\\Registry\\Machine", &components), STATUS_SUCCESS);
  EXPECT_EQ(components, (std::vector<std::u16string>{u"Registry", u"Machine"}));
  EXPECT_EQ(nb::kernel::SplitAbsoluteKeyPath(u"Registry\\Machine", &components), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(nb::kernel::SplitAbsoluteKeyPath(u"\\", &components), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(nb::kernel::SplitAbsoluteKeyPath(u"\\Device\\X", &components), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryRules, EachUserOwnsOnlyItsOwnKey) {
  auto path = [](std::initializer_list<std::u16string> names) {
    std::vector<std::u16string> folded;
    for (const auto& name : names) folded.push_back(nb::kernel::FoldRegistryName(name));
    return folded;
  };
  struct Case {
    uint32_t uid;
    std::vector<std::u16string> path;
    ACCESS_MASK allowed;
  };
  const Case cases[] = {
      {0, path({u"REGISTRY", u"MACHINE", u"SOFTWARE"}), KEY_ALL_ACCESS},
      {0, path({u"REGISTRY", u"USER", u"S-1-22-1-1000", u"x"}), KEY_ALL_ACCESS},
      {1000, path({u"REGISTRY"}), KEY_READ},
      {1000, path({u"REGISTRY", u"MACHINE"}), KEY_READ},
      {1000, path({u"REGISTRY", u"MACHINE", u"SOFTWARE", u"x"}), KEY_READ},
      {1000, path({u"REGISTRY", u"USER"}), KEY_READ},
      {1000, path({u"REGISTRY", u"USER", u"S-1-22-1-1000"}), KEY_ALL_ACCESS},
      {1000, path({u"registry", u"user", u"s-1-22-1-1000", u"Software"}), KEY_ALL_ACCESS},
      {1000, path({u"REGISTRY", u"USER", u"S-1-22-1-10000"}), 0},
      {1000, path({u"REGISTRY", u"USER", u"S-1-22-1-0", u"Software"}), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nb::kernel::AllowedKeyAccess(c.uid, c.path), c.allowed) << c.uid << " " << c.path.size();
  }
  EXPECT_TRUE(nb::kernel::IsHiveRootKey(path({u"REGISTRY", u"MACHINE", u"SYSTEM"})));
  EXPECT_TRUE(nb::kernel::IsHiveRootKey(path({u"REGISTRY", u"USER", u"S-1-22-1-5"})));
  EXPECT_FALSE(nb::kernel::IsHiveRootKey(path({u"REGISTRY", u"MACHINE", u"Nimbra"})));
  EXPECT_FALSE(nb::kernel::IsHiveRootKey(path({u"REGISTRY", u"MACHINE", u"SOFTWARE", u"Classes"})));

  EXPECT_EQ(nb::kernel::MapKeyAccess(GENERIC_READ), static_cast<ACCESS_MASK>(KEY_READ));
  EXPECT_EQ(nb::kernel::MapKeyAccess(GENERIC_WRITE | KEY_WOW64_64KEY), static_cast<ACCESS_MASK>(KEY_WRITE));
  EXPECT_EQ(nb::kernel::MapKeyAccess(GENERIC_ALL | SYNCHRONIZE), static_cast<ACCESS_MASK>(KEY_ALL_ACCESS));
  EXPECT_EQ(nb::kernel::MapKeyAccess(MAXIMUM_ALLOWED), static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED));
}

// --- keys and values ---------------------------------------------------------------------

class Hive : public ::testing::Test {
 protected:
  RegistryHandle Create(const RegistryCaller& caller, RegistryRoot root, std::u16string_view path,
                        ULONG* disposition = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS) {
    RegistryHandle key = 0;
    EXPECT_EQ(hive.OpenKey(caller, 0, root, path, access, true, &key, disposition), STATUS_SUCCESS);
    return key;
  }
  RegistryHandle Open(const RegistryCaller& caller, RegistryRoot root, std::u16string_view path,
                      ACCESS_MASK access = KEY_READ) {
    RegistryHandle key = 0;
    EXPECT_EQ(hive.OpenKey(caller, 0, root, path, access, false, &key), STATUS_SUCCESS);
    return key;
  }
  void Set(const RegistryCaller& caller, RegistryHandle key, std::u16string_view name, ULONG type,
           const std::vector<BYTE>& data) {
    EXPECT_EQ(hive.SetValue(caller, key, name, type, data.data(), data.size()), STATUS_SUCCESS);
  }
  std::vector<std::u16string> SubKeys(const RegistryCaller& caller, RegistryHandle key) {
    std::vector<std::u16string> names;
    std::u16string name;
    LONGLONG written;
    for (ULONG i = 0; hive.EnumerateKey(caller, key, i, &name, &written) == STATUS_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  RegistryHive hive;
};

TEST_F(Hive, KeyNamesIgnoreCaseAndKeepTheCaseTheyWereMadeWith) {
  const std::u16string pairs[][2] = {
      {u"NimbraTest", u"NIMBRATEST"},
      {u"Caf\u00e9", u"CAF\u00c9"},
      {u"\u0416\u0443\u043a", u"\u0436\u0423\u041a"},
      {u"\u03a3\u03bf\u03c6\u03b9\u03b1", u"\u03c3\u039f\u03a6\u0399\u0391"},
  };
  RegistryHandle software = Open(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE", KEY_ALL_ACCESS);
  for (const auto& pair : pairs) {
    ULONG disposition = 0;
    RegistryHandle made = Create(kRoot, RegistryRoot::kLocalMachine, u"software\\" + pair[0], &disposition);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    Set(kRoot, made, u"Mode", REG_DWORD, Dword(1));
    RegistryHandle again = 0;
    ASSERT_EQ(hive.OpenKey(kRoot, software, RegistryRoot::kAbsolute, pair[1], KEY_ALL_ACCESS, true, &again,
                           &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    Set(kRoot, again, u"MODE", REG_DWORD, Dword(2));  // the same value
    ULONG type;
    std::vector<BYTE> data;
    ASSERT_EQ(hive.QueryValue(kRoot, made, u"mode", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Dword(2));
    std::u16string name;
    ASSERT_EQ(hive.EnumerateValue(kRoot, made, 0, &name, &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(name, u"Mode") << "a value keeps the name it was made with";
    EXPECT_EQ(hive.EnumerateValue(kRoot, made, 1, &name, &type, &data), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(hive.CloseKey(kRoot, made), STATUS_SUCCESS);
    EXPECT_EQ(hive.CloseKey(kRoot, again), STATUS_SUCCESS);
  }
  std::vector<std::u16string> names = SubKeys(kRoot, software);
  for (const auto& pair : pairs) {
    EXPECT_EQ(std::count(names.begin(), names.end(), pair[0]), 1) << nb::text::Utf16ToUtf8(pair[0]);
  }
}

TEST_F(Hive, CreateMakesTheKeysAboveAndTheFullNameReachesThem) {
  ULONG disposition = 0;
  RegistryHandle leaf = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\Locks\\Drive", &disposition);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  Set(kRoot, leaf, u"", REG_SZ, Wide(u"default"));
  RegistryHandle absolute = Open(kRoot, RegistryRoot::kAbsolute, u"\\Registry\\Machine\\Software\\NIMBRA\\locks\\drive");
  ULONG type;
  std::vector<BYTE> data;
  ASSERT_EQ(hive.QueryValue(kRoot, absolute, u"", &type, &data), STATUS_SUCCESS);
  EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(data, Wide(u"default"));
  RegistryHandle middle = Open(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra");
  EXPECT_EQ(SubKeys(kRoot, middle), std::vector<std::u16string>{u"Locks"});

  RegistryHandle missing = 0;
  EXPECT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SOFTWARE\\Missing\\Deeper", KEY_READ, false,
                         &missing),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing, 0u);
  // The predefined roots stand for their keys below \Registry.
  RegistryHandle classes = Create(kRoot, RegistryRoot::kClassesRoot, u".nbl");
  RegistryHandle config = Create(kRoot, RegistryRoot::kCurrentConfig, u"Nimbra");
  Open(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Classes\\.NBL");
  Open(kRoot, RegistryRoot::kLocalMachine, u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\nimbra");
  EXPECT_NE(classes, config);
}

TEST_F(Hive, SubkeysAndValuesEnumerateInNameOrderUntilNoMoreEntries) {
  RegistryHandle key = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Order");
  for (const char16_t* name : {u"gamma", u"Alpha", u"beta", u"_under", u"Zulu"}) {
    RegistryHandle child = 0;
    ASSERT_EQ(hive.OpenKey(kRoot, key, RegistryRoot::kAbsolute, name, KEY_READ, true, &child), STATUS_SUCCESS);
    Set(kRoot, key, name, REG_DWORD, Dword(7));
  }
  Set(kRoot, key, u"", REG_SZ, Wide(u"d"));
  const std::vector<std::u16string> order = {u"Alpha", u"beta", u"gamma", u"Zulu", u"_under"};
  EXPECT_EQ(SubKeys(kRoot, key), order);
  std::u16string name;
  LONGLONG written;
  EXPECT_EQ(hive.EnumerateKey(kRoot, key, 5, &name, &written), STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(hive.EnumerateKey(kRoot, key, 0xFFFFFFFF, &name, &written), STATUS_NO_MORE_ENTRIES);
  std::vector<std::u16string> values;
  ULONG type;
  std::vector<BYTE> data;
  for (ULONG i = 0; hive.EnumerateValue(kRoot, key, i, &name, &type, &data) == STATUS_SUCCESS; ++i) {
    values.push_back(name);
  }
  std::vector<std::u16string> withDefault = {u""};
  withDefault.insert(withDefault.end(), order.begin(), order.end());
  EXPECT_EQ(values, withDefault);
}

TEST_F(Hive, ValueTypesAndBytesComeBackAsStored) {
  std::vector<BYTE> big(nb::kRegistryMaxValueDataLength);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
  const char16_t multi[] = u"one\0two\0";
  const char16_t unterminated[] = {u'n', u'o'};
  struct Case {
    const char16_t* name;
    ULONG type;
    std::vector<BYTE> data;
  };
  const Case cases[] = {
      {u"None", REG_NONE, {}},
      {u"Text", REG_SZ, Wide(u"C:\\Windows")},
      {u"Unterminated", REG_SZ, Bytes(unterminated, sizeof unterminated)},
      {u"Expand", REG_EXPAND_SZ, Wide(u"%SystemRoot%\\System32")},
      {u"Binary", REG_BINARY, {0, 1, 0, 0xFF, 0}},
      {u"EmptyBinary", REG_BINARY, {}},
      {u"Number", REG_DWORD, Dword(0xDEADBEEF)},
      {u"Multi", REG_MULTI_SZ, Bytes(multi, sizeof multi)},
      {u"Odd", 0x12345678, {1, 2, 3}},
      {u"Big", REG_BINARY, big},
  };
  RegistryHandle key = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Types");
  for (const Case& c : cases) Set(kRoot, key, c.name, c.type, c.data);
  for (const Case& c : cases) {
    ULONG type = 0;
    std::vector<BYTE> data{9};
    ASSERT_EQ(hive.QueryValue(kRoot, key, c.name, &type, &data), STATUS_SUCCESS) << nb::text::Utf16ToUtf8(c.name);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data) << nb::text::Utf16ToUtf8(c.name);
  }
  std::vector<BYTE> tooBig(nb::kRegistryMaxValueDataLength + 1);
  EXPECT_EQ(hive.SetValue(kRoot, key, u"TooBig", REG_BINARY, tooBig.data(), tooBig.size()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hive.SetValue(kRoot, key, u"Null", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
  std::u16string longName(nb::kRegistryMaxValueNameLength + 1, u'v');
  EXPECT_EQ(hive.SetValue(kRoot, key, longName, REG_DWORD, big.data(), 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hive.SetValue(kRoot, key, std::u16string(u"a\0b", 3), REG_DWORD, big.data(), 4), STATUS_INVALID_PARAMETER);
  ULONG type;
  std::vector<BYTE> data;
  EXPECT_EQ(hive.QueryValue(kRoot, key, u"TooBig", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(hive.DeleteValue(kRoot, key, u"TEXT"), STATUS_SUCCESS);
  EXPECT_EQ(hive.DeleteValue(kRoot, key, u"Text"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(hive.QueryValue(kRoot, key, u"Text", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Hive, KeyInfoCountsAndMeasuresAndTracksTheLastWrite) {
  RegistryHandle key = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Info");
  nb::RegistryKeyInfo empty;
  ASSERT_EQ(hive.QueryKeyInfo(kRoot, key, &empty), STATUS_SUCCESS);
  EXPECT_EQ(empty.subKeys, 0u);
  EXPECT_EQ(empty.values, 0u);
  EXPECT_GT(empty.lastWriteTime, 116444736000000000LL) << "after 1970";

  Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Info\\Short");
  Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Info\\AMuchLongerName");
  Set(kRoot, key, u"v", REG_BINARY, std::vector<BYTE>(300));
  Set(kRoot, key, u"LongestValueName", REG_DWORD, Dword(1));
  nb::RegistryKeyInfo info;
  ASSERT_EQ(hive.QueryKeyInfo(kRoot, key, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.subKeys, 2u);
  EXPECT_EQ(info.maxSubKeyNameLength, 15u);
  EXPECT_EQ(info.values, 2u);
  EXPECT_EQ(info.maxValueNameLength, 16u);
  EXPECT_EQ(info.maxValueDataLength, 300u);
  EXPECT_GE(info.lastWriteTime, empty.lastWriteTime);
}

TEST_F(Hive, AKeyWithSubkeysStaysAndADeletedKeysHandlesSaySo) {
  RegistryHandle parent = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Doomed");
  RegistryHandle child = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Doomed\\Child");
  Set(kRoot, parent, u"v", REG_DWORD, Dword(1));
  EXPECT_EQ(hive.DeleteKey(kRoot, parent), STATUS_CANNOT_DELETE);
  EXPECT_EQ(hive.DeleteKey(kRoot, child), STATUS_SUCCESS);
  EXPECT_EQ(hive.DeleteKey(kRoot, child), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.DeleteKey(kRoot, parent), STATUS_SUCCESS);

  // A key made again under the old name is another key: the old handles do not reach it.
  RegistryHandle again = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Doomed");
  Set(kRoot, again, u"v", REG_DWORD, Dword(2));
  ULONG type;
  std::vector<BYTE> data;
  std::u16string name;
  LONGLONG written;
  nb::RegistryKeyInfo info;
  RegistryHandle below;
  EXPECT_EQ(hive.QueryValue(kRoot, parent, u"v", &type, &data), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.SetValue(kRoot, parent, u"v", REG_DWORD, data.data(), 0), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.DeleteValue(kRoot, parent, u"v"), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.EnumerateKey(kRoot, parent, 0, &name, &written), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.EnumerateValue(kRoot, parent, 0, &name, &type, &data), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.QueryKeyInfo(kRoot, parent, &info), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.OpenKey(kRoot, parent, RegistryRoot::kAbsolute, u"Child", KEY_READ, true, &below), STATUS_KEY_DELETED);
  EXPECT_EQ(hive.CloseKey(kRoot, parent), STATUS_SUCCESS) << "a deleted key's handle still closes";
  ASSERT_EQ(hive.QueryValue(kRoot, again, u"v", &type, &data), STATUS_SUCCESS);
  EXPECT_EQ(data, Dword(2));
}

TEST_F(Hive, TheKeysHoldingTheHiveTogetherAreNeverDeleted) {
  for (auto [root, path] : {std::pair{RegistryRoot::kAbsolute, u"\\Registry"},
                            std::pair{RegistryRoot::kLocalMachine, u""}, std::pair{RegistryRoot::kUsers, u""},
                            std::pair{RegistryRoot::kLocalMachine, u"SOFTWARE"},
                            std::pair{RegistryRoot::kLocalMachine, u"SYSTEM"},
                            std::pair{RegistryRoot::kCurrentUser, u""}}) {
    RegistryHandle key = Open(kRoot, root, path, DELETE);
    EXPECT_EQ(hive.DeleteKey(kRoot, key), STATUS_CANNOT_DELETE) << nb::text::Utf16ToUtf8(path);
  }
}

TEST_F(Hive, BadKeyNamesAreRefused) {
  struct Case {
    RegistryRoot root;
    std::u16string path;
    NTSTATUS status;
  };
  const Case cases[] = {
      {RegistryRoot::kLocalMachine, u"\\SOFTWARE", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {RegistryRoot::kLocalMachine, u"SOFTWARE\\\\X", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {RegistryRoot::kLocalMachine, std::u16string(u"SOFTWARE\\a\0b", 12), STATUS_OBJECT_NAME_INVALID},
      {RegistryRoot::kLocalMachine, u"SOFTWARE\\" + std::u16string(256, u'x'), STATUS_INVALID_PARAMETER},
      {RegistryRoot::kAbsolute, u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {RegistryRoot::kAbsolute, u"\\BaseNamedObjects\\X", STATUS_OBJECT_NAME_NOT_FOUND},
      {static_cast<RegistryRoot>(77), u"X", STATUS_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    RegistryHandle key = 0;
    EXPECT_EQ(hive.OpenKey(kRoot, 0, c.root, c.path, KEY_ALL_ACCESS, true, &key), c.status)
        << nb::text::Utf16ToUtf8(c.path);
  }
  EXPECT_EQ(hive.OpenKeyCount(), 0u);
}

// --- access ------------------------------------------------------------------------------

TEST_F(Hive, OnlyRootWritesTheMachineKeysAndEachUserItsOwn) {
  Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra");
  Create(kRoot, RegistryRoot::kCurrentUser, u"Software\\Root");
  struct Case {
    RegistryCaller caller;
    RegistryRoot root;
    std::u16string path;
    ACCESS_MASK access;
    bool create;
    NTSTATUS status;
  };
  const Case cases[] = {
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", KEY_READ, false, STATUS_SUCCESS},
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", KEY_SET_VALUE, false, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", GENERIC_WRITE, false, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", DELETE, false, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", KEY_READ, true, STATUS_SUCCESS},
      {kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\New", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kClassesRoot, u".new", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kCurrentConfig, u"New", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kAbsolute, u"\\Registry\\Machine\\New", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kUsers, u"S-1-22-1-0\\Software\\Root", KEY_READ, false, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kUsers, u"S-1-22-1-0\\Software\\Mine", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kUsers, u"S-1-22-1-77", KEY_READ, true, STATUS_ACCESS_DENIED},
      {kUser, RegistryRoot::kCurrentUser, u"Software\\Mine", KEY_ALL_ACCESS, true, STATUS_SUCCESS},
      {kUser, RegistryRoot::kUsers, u"S-1-22-1-1000\\Software\\Mine", KEY_ALL_ACCESS, false, STATUS_SUCCESS},
      {kOtherUser, RegistryRoot::kUsers, u"S-1-22-1-1000\\Software\\Mine", KEY_READ, false, STATUS_ACCESS_DENIED},
      {kRoot, RegistryRoot::kUsers, u"S-1-22-1-1000\\Software\\Mine", KEY_ALL_ACCESS, false, STATUS_SUCCESS},
      {kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\New", KEY_ALL_ACCESS, true, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    RegistryHandle key = 0;
    EXPECT_EQ(hive.OpenKey(c.caller, 0, c.root, c.path, c.access, c.create, &key), c.status)
        << c.caller.uid << " " << nb::text::Utf16ToUtf8(c.path);
    if (key) {
      EXPECT_EQ(hive.CloseKey(c.caller, key), STATUS_SUCCESS);
    }
  }
  // A refused create leaves nothing behind.
  RegistryHandle key = 0;
  EXPECT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kClassesRoot, u".new", KEY_READ, false, &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Hive, AUsersHandleOnAMachineKeyCarriesOnlyReadRights) {
  RegistryHandle made = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\Sub");
  Set(kRoot, made, u"v", REG_DWORD, Dword(1));
  // Every road from a user's handle to a change: values, subkeys, deletion.
  RegistryHandle key = Open(kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra", MAXIMUM_ALLOWED);
  RegistryHandle sub = Open(kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\Sub", MAXIMUM_ALLOWED);
  std::vector<BYTE> data = Dword(2);
  EXPECT_EQ(hive.SetValue(kUser, sub, u"v", REG_DWORD, data.data(), data.size()), STATUS_ACCESS_DENIED);
  EXPECT_EQ(hive.DeleteValue(kUser, sub, u"v"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(hive.DeleteKey(kUser, sub), STATUS_ACCESS_DENIED);
  RegistryHandle below = 0;
  EXPECT_EQ(hive.OpenKey(kUser, key, RegistryRoot::kAbsolute, u"Made", KEY_READ, true, &below), STATUS_ACCESS_DENIED);
  EXPECT_EQ(hive.OpenKey(kUser, key, RegistryRoot::kAbsolute, u"Sub", KEY_WRITE, false, &below), STATUS_ACCESS_DENIED);
  ULONG type;
  ASSERT_EQ(hive.QueryValue(kUser, sub, u"v", &type, &data), STATUS_SUCCESS);
  EXPECT_EQ(data, Dword(1));
  EXPECT_EQ(SubKeys(kUser, key), std::vector<std::u16string>{u"Sub"});
  // A handle opened with no rights reads nothing either.
  RegistryHandle bare = Open(kUser, RegistryRoot::kLocalMachine, u"SOFTWARE\\Nimbra\\Sub", 0);
  EXPECT_EQ(hive.QueryValue(kUser, bare, u"v", &type, &data), STATUS_ACCESS_DENIED);
}

TEST_F(Hive, KeyHandlesBelongToTheProcessThatOpenedThem) {
  RegistryHandle key = Create(kRoot, RegistryRoot::kLocalMachine, u"SOFTWARE\\Owned");
  RegistryCaller otherProcess{0, kRoot.processId + 1};
  ULONG type;
  std::vector<BYTE> data;
  EXPECT_EQ(hive.QueryValue(otherProcess, key, u"v", &type, &data), STATUS_INVALID_HANDLE);
  EXPECT_EQ(hive.SetValue(otherProcess, key, u"v", REG_NONE, nullptr, 0), STATUS_INVALID_HANDLE);
  EXPECT_EQ(hive.DeleteKey(otherProcess, key), STATUS_INVALID_HANDLE);
  EXPECT_EQ(hive.CloseKey(otherProcess, key), STATUS_INVALID_HANDLE);
  RegistryHandle child;
  EXPECT_EQ(hive.OpenKey(otherProcess, key, RegistryRoot::kAbsolute, u"c", KEY_READ, true, &child),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(hive.CloseKey(kRoot, 0), STATUS_INVALID_HANDLE);

  Create(kUser, RegistryRoot::kCurrentUser, u"a");
  Create(kUser, RegistryRoot::kCurrentUser, u"b");
  EXPECT_EQ(hive.OpenKeyCount(), 3u);
  hive.CloseKeysOf(kUser.processId);
  EXPECT_EQ(hive.OpenKeyCount(), 1u);
  EXPECT_EQ(hive.CloseKey(kRoot, key), STATUS_SUCCESS);
  EXPECT_EQ(hive.CloseKey(kRoot, key), STATUS_INVALID_HANDLE);
}

// --- the hive file -----------------------------------------------------------------------

TEST(HiveFile, KeysAndValuesSurviveReopening) {
  std::string path = TempPath("reopen.db");
  std::filesystem::remove(path);
  {
    RegistryHive hive;
    ASSERT_EQ(hive.Load(path), STATUS_SUCCESS);
    RegistryHandle key = 0;
    ASSERT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SYSTEM\\Nimbra", KEY_ALL_ACCESS, true, &key),
              STATUS_SUCCESS);
    const char16_t images[] = u"smbd.exe\0";
    ASSERT_EQ(hive.SetValue(kRoot, key, u"NetworkImages", REG_MULTI_SZ, images, sizeof images), STATUS_SUCCESS);
  }
  RegistryHive hive;
  ASSERT_EQ(hive.Load(path), STATUS_SUCCESS);
  RegistryHandle key = 0;
  ASSERT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"system\\NIMBRA", KEY_READ, false, &key),
            STATUS_SUCCESS);
  ULONG type;
  std::vector<BYTE> data;
  ASSERT_EQ(hive.QueryValue(kRoot, key, u"networkimages", &type, &data), STATUS_SUCCESS);
  EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_EQ(data, Bytes(u"smbd.exe\0", 20));
  std::u16string name;
  ASSERT_EQ(hive.EnumerateValue(kRoot, key, 0, &name, &type, &data), STATUS_SUCCESS);
  EXPECT_EQ(name, u"NetworkImages");

  // Loading another hive drops the handles into the one before.
  ASSERT_EQ(hive.Load(TempPath("other.db")), STATUS_SUCCESS);
  EXPECT_EQ(hive.OpenKeyCount(), 0u);
  EXPECT_EQ(hive.QueryValue(kRoot, key, u"NetworkImages", &type, &data), STATUS_INVALID_HANDLE);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST(HiveFile, AFileThatIsNoHiveIsRefusedAndLeftAlone) {
  std::string garbage = TempPath("garbage.db");
  std::ofstream(garbage) << std::string(8192, 'x');
  RegistryHive hive;
  EXPECT_EQ(hive.Load(garbage), STATUS_REGISTRY_CORRUPT);
  EXPECT_EQ(std::filesystem::file_size(garbage), 8192u);

  std::string foreign = TempPath("foreign.db");
  std::filesystem::remove(foreign);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(hive.Load(foreign), STATUS_REGISTRY_CORRUPT);

  // The hive in use stays the one it was.
  RegistryHandle key = 0;
  EXPECT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SOFTWARE", KEY_READ, false, &key), STATUS_SUCCESS);
  std::filesystem::remove_all(std::filesystem::path(garbage).parent_path());
}

// A value written by a process that is killed at any moment is there whole, or as it was
// before: every 4-byte word of one value holds the same sequence number.
TEST(HiveFile, AWriterKilledMidStreamLeavesEveryValueWhole) {
  std::string path = TempPath("killed.db");
  constexpr int kValues = 8;
  constexpr size_t kWords = 16384;
  for (int round = 0; round < 6; ++round) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      RegistryHive hive;
      RegistryHandle key = 0;
      if (hive.Load(path) != STATUS_SUCCESS ||
          hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SOFTWARE\\Stream", KEY_ALL_ACCESS, true, &key) !=
              STATUS_SUCCESS) {
        ::_exit(1);
      }
      std::vector<uint32_t> words(kWords);
      for (uint32_t sequence = 1;; ++sequence) {
        std::fill(words.begin(), words.end(), sequence);
        std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'0' + sequence % kValues));
        if (hive.SetValue(kRoot, key, name, REG_BINARY, words.data(), words.size() * 4) != STATUS_SUCCESS) ::_exit(2);
        RegistryHandle made = 0;
        std::u16string sub = u"k" + std::u16string(1, static_cast<char16_t>(u'a' + sequence % 26));
        if (hive.OpenKey(kRoot, key, RegistryRoot::kAbsolute, sub, KEY_READ, true, &made) != STATUS_SUCCESS ||
            hive.CloseKey(kRoot, made) != STATUS_SUCCESS) {
          ::_exit(3);
        }
        char byte = 1;
        if (sequence % 4 == 0 && ::write(ready[1], &byte, 1) != 1) ::_exit(4);
      }
    }
    ::close(ready[1]);
    // Let the writer get further in each round before it dies.
    int commits = 2 + round * 3;
    char byte;
    for (int i = 0; i < commits; ++i) ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::usleep(static_cast<useconds_t>(round * 700));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed with " << WEXITSTATUS(status);
    ::close(ready[0]);

    RegistryHive hive;
    ASSERT_EQ(hive.Load(path), STATUS_SUCCESS);
    RegistryHandle key = 0;
    ASSERT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SOFTWARE\\Stream", KEY_READ, false, &key),
              STATUS_SUCCESS);
    int found = 0;
    std::u16string name;
    ULONG type;
    std::vector<BYTE> data;
    for (ULONG i = 0; hive.EnumerateValue(kRoot, key, i, &name, &type, &data) == STATUS_SUCCESS; ++i, ++found) {
      ASSERT_EQ(data.size(), kWords * 4) << "round " << round;
      std::vector<uint32_t> words(kWords);
      std::memcpy(words.data(), data.data(), data.size());
      EXPECT_EQ(std::count(words.begin(), words.end(), words[0]), static_cast<long>(kWords)) << "round " << round;
    }
    EXPECT_GE(found, std::min(commits * 4, kValues)) << "what was committed before the kill stays";
  }
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// --- threads -----------------------------------------------------------------------------

TEST(HiveThreads, WritersAndReadersSeeWholeValues) {
  RegistryHive hive;
  RegistryHandle key = 0;
  ASSERT_EQ(hive.OpenKey(kRoot, 0, RegistryRoot::kLocalMachine, u"SOFTWARE\\Busy", KEY_ALL_ACCESS, true, &key),
            STATUS_SUCCESS);
  constexpr int kWriters = 4;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([&, writer] {
      RegistryCaller caller{0, kRoot.processId};
      for (int round = 1; round <= kRounds; ++round) {
        std::vector<uint32_t> words(64, static_cast<uint32_t>(round));
        std::u16string name = u"w" + std::u16string(1, static_cast<char16_t>(u'0' + writer));
        if (hive.SetValue(caller, key, name, REG_BINARY, words.data(), words.size() * 4) != STATUS_SUCCESS) ++failures;
        RegistryHandle sub = 0;
        std::u16string subName = name + u"\\" + std::u16string(1, static_cast<char16_t>(u'a' + round % 5));
        if (hive.OpenKey(caller, key, RegistryRoot::kAbsolute, subName, KEY_ALL_ACCESS, true, &sub) !=
                STATUS_SUCCESS ||
            hive.CloseKey(caller, sub) != STATUS_SUCCESS) {
          ++failures;
        }
      }
    });
  }
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        std::u16string name;
        ULONG type;
        std::vector<BYTE> data;
        for (ULONG i = 0; hive.EnumerateValue(kRoot, key, i, &name, &type, &data) == STATUS_SUCCESS; ++i) {
          std::vector<uint32_t> words(data.size() / 4);
          std::memcpy(words.data(), data.data(), data.size());
          if (words.empty() || std::count(words.begin(), words.end(), words[0]) != static_cast<long>(words.size())) {
            ++failures;
          }
        }
        nb::RegistryKeyInfo info;
        if (hive.QueryKeyInfo(kRoot, key, &info) != STATUS_SUCCESS || info.values > kWriters) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  nb::RegistryKeyInfo info;
  ASSERT_EQ(hive.QueryKeyInfo(kRoot, key, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.values, static_cast<ULONG>(kWriters));
  EXPECT_EQ(info.subKeys, static_cast<ULONG>(kWriters));
  EXPECT_EQ(hive.OpenKeyCount(), 1u);
}

}  // namespace
