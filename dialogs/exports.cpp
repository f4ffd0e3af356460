// The exported dialogs: set-up, one modal run each.
#include <windows.h>
#include <shlobj.h>

#include "NBMgrSDK.h"

#include <cstring>
#include <memory>
#include <vector>

#include "account_rules.h"
#include "admin_dialogs.h"
#include "library.h"
#include "lock_dialogs.h"
#include "password_dialogs.h"
#include "settings_dialogs.h"

namespace {

using namespace nb::dialogs;

constexpr LANGID kSimplifiedChinese = 2052;

int Accepted(QDialog& dialog) { return dialog.exec() == QDialog::Accepted ? 1 : 0; }

}  // namespace

NBMGRSDK_API int LoginDialog(int /*brand*/, _PWDTBL* account, int* remember, CMdb* users) {
  if (!account || !remember || !users || !EnsureResources()) return 0;
  return RunModal([&] {
    CLoginDialog dialog(account, remember, users);
    return Accepted(dialog);
  });
}

NBMGRSDK_API int PwdDialog(const WCHAR* user, const WCHAR* digest) {
  if (!user || !digest || !EnsureResources()) return 0;
  return RunModal([&] {
    CPwdDialog dialog(user, digest);
    return Accepted(dialog);
  });
}

NBMGRSDK_API int ChangePwdDialog(_PWDTBL* account, CMdb* users) {
  if (!account || !users || !EnsureResources()) return 0;
  return RunModal([&] {
    CChangePwdDialog dialog(account, users);
    return Accepted(dialog);
  });
}

NBMGRSDK_API int AddDialog(_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* lock) {
  if (!lock || !EnsureResources()) return 0;
  return RunModal([&] {
    CAddDialog dialog(locks, count, lock);
    return Accepted(dialog);
  });
}

NBMGRSDK_API int PropertyDialog(_LCK_INFORMAION* lock) {
  if (!lock || !EnsureResources()) return 0;
  return RunModal([&] {
    CPropertyDialog dialog(lock);
    return Accepted(dialog);
  });
}

NBMGRSDK_API int AdminDialog(_LCK_INFORMAION* locks, int count, _PWDTBL* account, CMdb* users, CMdb* lockDb,
                             int brand) {
  if (!account || !users || !EnsureResources()) return 0;
  return RunModal([&] {
    auto unlock = [](const _LCK_INFORMAION& lock) {
      CVAULTObj vault;
      _LCK_INFORMAION copy = lock;
      return vault.UnLock(&copy, 1) != 0;
    };
    auto accounts = std::make_unique<AccountAdministration>(
        locks, count, account, users, lockDb, brand, GetSystemDefaultLangID() == kSimplifiedChinese, unlock);
    AccountAdministration* administration = accounts.get();
    CAdminDialog dialog(std::move(accounts));
    int result = Accepted(dialog);
    // Unlocked folders reappear: the desktop and the associations are redrawn.
    if (administration->NotifyShell()) {
      SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST, nullptr, nullptr);
      SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
    return result;
  });
}

NBMGRSDK_API int AdminAddDialog(_PWDTBL* accounts, int count, _PWDTBL* account, CMdb* users) {
  if (!account || !users || !EnsureResources()) return 0;
  return RunModal([&] {
    std::vector<_PWDTBL> existing;
    if (accounts && count > 0) existing.assign(accounts, accounts + count);
    CAdminAddDialog dialog(CAdminAddDialog::Mode::kFirstRun, std::move(existing), account, users);
    return Accepted(dialog);
  });
}

NBMGRSDK_API void DefValueDialog() {
  if (!EnsureResources()) return;
  RunModal([] {
    CDefValueDialog dialog;
    return Accepted(dialog);
  });
}

NBMGRSDK_API void SplashDialog(int brand) {
  if (!ShowsSplash(brand) || !EnsureResources()) return;
  RunModal([] {
    CSplashDialog dialog;
    return Accepted(dialog);
  });
}
