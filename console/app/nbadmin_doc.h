// The console's document: it opens no file and exists to own the lock object through
// which the view does all lock work.
#pragma once

#include <windows.h>

#include "VAULTSdk.h"

class CNBAdminDoc {
 public:
  // Fills the lock object's default protected folder and lock database path.
  CNBAdminDoc();
  CNBAdminDoc(const CNBAdminDoc&) = delete;
  CNBAdminDoc& operator=(const CNBAdminDoc&) = delete;

  CVAULTObj& Vault() { return vault_; }
  // The lock database path, as filled on construction.
  const WCHAR* LockDbPath() const { return vault_.lockDbPath; }

 private:
  CVAULTObj vault_;
};
