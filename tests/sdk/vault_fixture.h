// The lock object's test machine (drives C:, D:, E: removable, Z: remote, both drivers
// loaded), message boxes scripted, and record builders.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/win/message_box.h"
#include "util_machine.h"

namespace vault_test {

using util_test::kSerialC;
using util_test::kSerialD;
using util_test::kSerialE;

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, int mode = 1, int timeout = 0);
_LCK_INFORMAION DriveLock(char16_t drive, int mode = 1, int timeout = 0);
_LCK_PROC_INFORMATION Trusted(char16_t drive, std::u16string_view path, std::u16string_view name, DWORD pid,
                              int permission = PROC_PERMISSION_FULL);

std::u16string PathOf(const _LCK_INFORMAION& lock);

class VaultTest : public util_test::UtilTest {
 protected:
  // The driver's locks as the object reads them.
  std::vector<_LCK_INFORMAION> DriverLocks();
  // The texts of the boxes shown so far.
  std::vector<std::u16string> Texts() const;

  CVAULTObj vault;
  nb::win::ScriptedMessageBoxes boxes;
};

}  // namespace vault_test
