// CheckUsedFolder, LockCMP, CheckDrive and ResolvShotcut.
#include "lock_checks.h"

int CheckUsedFolder(const _LCK_INFORMAION* candidate, const _LCK_INFORMAION* list, int count) {
  if (!candidate || !list || count <= 0) return 0;
  std::u16string name = nbutil::FullLockName(*candidate);
  for (int i = 0; i < count; ++i) {
    if (nbutil::NamesCollide(name, nbutil::FullLockName(list[i]))) return 1;
  }
  return 0;
}

int LockCMP(const _LCK_INFORMAION* a, const _LCK_INFORMAION* b) {
  if (!a || !b) return 0;
  return nbutil::SameIgnoringCase(nbutil::FullLockName(*a).substr(2), nbutil::FullLockName(*b).substr(2)) ? 1 : 0;
}

int CheckDrive(WCHAR letter) {
  WCHAR root[] = {letter, u':', u'\\', 0};
  UINT type = GetDriveTypeW(root);
  return type == DRIVE_FIXED || type == DRIVE_REMOVABLE ? 1 : 0;
}

int ResolvShotcut(const WCHAR* /*shortcut*/, WCHAR* /*target*/) { return 1; }
