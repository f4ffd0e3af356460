// The console's document.
#include "nbadmin_doc.h"

CNBAdminDoc::CNBAdminDoc() {
  vault_.GetDefaultLockFolder();
  vault_.GetLockDbPath();
}
