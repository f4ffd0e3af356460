// The console core's test machine: the utility library's machine (drives C: and D: fixed,
// E: removable, the filter and removable-device drivers, the service key) with the lock
// store installed, scripted message boxes, and helpers that lock folders in the driver,
// store records and hold the lock database open for writing from another process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "database_holder.h"
#include "lock_list.h"
#include "nb/win/message_box.h"
#include "util_machine.h"

namespace core_test {

inline constexpr const char16_t* kLockDb = u"C:\\Windows\\Application Data\\NB\\lock";
inline constexpr const char16_t* kUserDb = u"C:\\Windows\\Application Data\\NB\\user";

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, DWORD serial, std::u16string_view owner,
                           int status = LCK_STATUS_LOCKED, int mode = 1);
// Texts of the tests' string loader: "#<id>".
std::u16string Text(UINT id);
nb::console::StringLoader TestStrings();

using console_test::DatabaseHolder;

class CoreTest : public util_test::UtilTest {
 protected:
  void SetUp() override;

  // Locks a folder (made when missing) or drive in the driver as the add dialog does,
  // with its serial, status 1 and `running` for time-out 0; `registered` tells whether
  // the device registration was made here.
  _LCK_INFORMAION LockInDriver(char16_t drive, std::u16string_view path, int mode = 1, int timeout = 0,
                               bool* registered = nullptr);
  void Store(const _LCK_INFORMAION& lock);
  std::vector<_LCK_INFORMAION> Stored();
  std::vector<_LCK_INFORMAION> DriverLocks();
  const _LCK_INFORMAION* FindStored(const std::vector<_LCK_INFORMAION>& locks, char16_t drive,
                                    std::u16string_view path);
  bool Registered(DWORD serial);
  std::string HostFile(const char16_t* drivePath);

  nb::win::ScriptedMessageBoxes boxes;
  CVAULTObj vault;
};

}  // namespace core_test
