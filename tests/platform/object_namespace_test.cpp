// Object names: case-insensitive lookup, links followed, remainders kept.
#include <gtest/gtest.h>

#include "nb/kernel/object_namespace.h"

namespace {

using nb::kernel::ObjectKind;
using nb::kernel::ObjectNamespace;
using nb::kernel::ResolvedName;

TEST(ObjectNamespaceTest, ResolvesThroughLinksAndKeepsTheRemainder) {
  ObjectNamespace names;
  int volume = 0;
  ASSERT_EQ(names.Insert(u"\\Device\\HarddiskVolume1", ObjectKind::kDevice, &volume), STATUS_SUCCESS);
  ASSERT_EQ(names.InsertLink(u"\\DosDevices\\C:", u"\\Device\\HarddiskVolume1"), STATUS_SUCCESS);

  struct Case {
    std::u16string path;
    NTSTATUS status;
    std::u16string remainder;
  } cases[] = {
      {u"\\DosDevices\\C:", STATUS_SUCCESS, u""},
      {u"\\DosDevices\\c:\\Dir\\File", STATUS_SUCCESS, u"\\Dir\\File"},
      {u"\\??\\C:\\", STATUS_SUCCESS, u"\\"},
      {u"\\device\\harddiskvolume1", STATUS_SUCCESS, u""},
      {u"\\DosDevices\\D:", STATUS_OBJECT_NAME_NOT_FOUND, u""},
      {u"\\Device\\HarddiskVolume10", STATUS_OBJECT_NAME_NOT_FOUND, u""},
  };
  for (const auto& c : cases) {
    ResolvedName resolved{};
    EXPECT_EQ(names.Resolve(c.path, &resolved), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(resolved.object, &volume);
      EXPECT_EQ(resolved.remainder, c.remainder);
    }
  }
}

TEST(ObjectNamespaceTest, RefusesDuplicatesAndLoops) {
  ObjectNamespace names;
  int a = 0;
  EXPECT_EQ(names.Insert(u"\\Device\\X", ObjectKind::kDevice, &a), STATUS_SUCCESS);
  EXPECT_EQ(names.Insert(u"\\DEVICE\\x", ObjectKind::kDevice, &a), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(names.InsertLink(u"\\DosDevices\\L1", u"\\DosDevices\\L2"), STATUS_SUCCESS);
  ASSERT_EQ(names.InsertLink(u"\\DosDevices\\L2", u"\\DosDevices\\L1"), STATUS_SUCCESS);
  ResolvedName resolved{};
  EXPECT_EQ(names.Resolve(u"\\DosDevices\\L1", &resolved), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(names.List(u"\\DosDevices").size(), 2u);
  names.RemoveObject(&a);
  EXPECT_EQ(names.Lookup(u"\\Device\\X", ObjectKind::kDevice), nullptr);
}

}  // namespace
