// The exported dialogs driven through their controls, offscreen: what the caller gets
// back, which boxes appear with which caption, icon and buttons, and which controls are
// enabled.
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <cstring>

#include <gtest/gtest.h>

#include <windows.h>

#include "NBMgrSDK.h"
#include "NBUtil.h"
#include "account_rules.h"
#include "dialog_machine.h"
#include "library.h"
#include "nb/text.h"
#include "nb/win/shell_notify.h"

namespace dialogs_test {
namespace {

using nb::dialogs::FieldText;
using DialogsTest = DialogTest;

QString Q(std::u16string_view text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

void ExpectBox(const nb::win::MessageBoxRequest& box, UINT message, const char16_t* caption, UINT icon, UINT buttons) {
  EXPECT_EQ(box.text, Text(message));
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.Icon(), icon);
  EXPECT_EQ(box.Buttons(), buttons);
}

TEST_F(DialogsTest, LoginStartsEmptyWithoutRememberAndTheFlagFollowsEachClick) {
  _PWDTBL account = MakeAccount(u"Last", u"");
  int remember = 0;
  QString shownName;
  int result = Drive([&] { return LoginDialog(0, &account, &remember, &users); },
                     {[&](QWidget* dialog) {
                        shownName = Control<QLineEdit>(dialog, 9031)->text();
                        Click(dialog, 9040);
                        Click(dialog, IDCANCEL);
                      }});
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(shownName.isEmpty());
  EXPECT_EQ(remember, 1) << "cancelling keeps the click";

  result = Drive([&] { return LoginDialog(0, &account, &remember, &users); },
                 {[&](QWidget* dialog) {
                   shownName = Control<QLineEdit>(dialog, 9031)->text();
                   EXPECT_TRUE(Control<QAbstractButton>(dialog, 9040)->isChecked());
                   Click(dialog, IDCANCEL);
                 }});
  EXPECT_EQ(shownName, "Last");
}

TEST_F(DialogsTest, LoginWithAWrongPasswordOrNameStaysOpenUntilTheRightOne) {
  _PWDTBL boss = MakeAccount(u"Boss", u"secret", 1, u"note");
  ASSERT_TRUE(users.AddPwd(&boss));
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  int remember = 0;
  auto attempt = [](const char* name, const char* password) {
    return [=](QWidget* dialog) {
      Type(dialog, 9031, name);
      Type(dialog, 1007, password);
      Click(dialog, IDOK);
    };
  };
  int result = Drive([&] { return LoginDialog(0, &account, &remember, &users); },
                     {attempt("Boss", "wrong"), attempt("Nobody", "secret"), attempt("", "x"), attempt("Boss", ""),
                      attempt("Boss", "secret")});
  EXPECT_EQ(result, 1);
  EXPECT_EQ(account.admin, 1);
  EXPECT_EQ(FieldText(account.comment, PWD_COMMENT_UNITS), u"note");
  auto shown = boxes.Shown();
  ASSERT_EQ(shown.size(), 4u);
  ExpectBox(shown[0], 2, u"Warning", MB_ICONWARNING, MB_OK);
  ExpectBox(shown[1], 2, u"Warning", MB_ICONWARNING, MB_OK);
  ExpectBox(shown[2], 30, u"Warning", MB_ICONWARNING, MB_OK);
  ExpectBox(shown[3], 1, u"Warning", MB_ICONWARNING, MB_OK);
  EXPECT_NE(shown[0].owner, nullptr) << "owned by the dialog";
}

TEST_F(DialogsTest, PasswordFieldsTakeNinetyNineCharacters) {
  _PWDTBL ann = MakeAccount(u"Ann", u"old");
  ASSERT_TRUE(users.AddPwd(&ann));
  QString sixty(60, 'k');
  int result = Drive([&] { return ChangePwdDialog(&ann, &users); },
                     {[&](QWidget* dialog) {
                       Type(dialog, 1004, sixty);
                       Type(dialog, 1005, sixty);
                       Click(dialog, 1006);
                     }});
  ASSERT_EQ(result, 1);
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  int remember = 0;
  result = Drive([&] { return LoginDialog(0, &account, &remember, &users); },
                 {[&](QWidget* dialog) {
                   Type(dialog, 9031, "Ann");
                   Type(dialog, 1007, sixty + "ignored beyond 99 characters" + QString(40, 'z'));
                   EXPECT_EQ(Control<QLineEdit>(dialog, 1007)->text().size(), 99);
                   Type(dialog, 1007, sixty);
                   Click(dialog, IDOK);
                 }});
  EXPECT_EQ(result, 1) << "a 60-character password logs in";
  std::u16string digest = FieldText(ann.password, PWD_PASSWORD_UNITS);
  result = Drive([&] { return PwdDialog(ann.user, digest.c_str()); },
                 {[&](QWidget* dialog) {
                    EXPECT_EQ(Control<QLineEdit>(dialog, 9031)->text(), "Ann");
                    Type(dialog, 1007, "wrong");
                    Click(dialog, IDOK);
                  },
                  [&](QWidget* dialog) {
                    Type(dialog, 1007, sixty);
                    Click(dialog, IDOK);
                  }});
  EXPECT_EQ(result, 1);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  ExpectBox(boxes.Shown()[0], 3, u"Warning", MB_ICONWARNING, MB_OKCANCEL);
}

TEST_F(DialogsTest, AFailedPasswordChangeShowsAnErrorAndStaysOpen) {
  _PWDTBL boss = MakeAccount(u"Boss", u"old", 1, u"keep");
  ASSERT_TRUE(users.AddPwd(&boss));
  ASSERT_TRUE(AdmSetEx(&boss));
  RemoveDatabase("user");
  _PWDTBL before = boss;
  bool stillOpen = false;
  int result = Drive([&] { return ChangePwdDialog(&boss, &users); },
                     {[&](QWidget* dialog) {
                        EXPECT_EQ(Control<QLineEdit>(dialog, 1007)->text(), "keep");
                        Type(dialog, 1004, "new");
                        Type(dialog, 1005, "new");
                        Click(dialog, 1006);
                      },
                      [&](QWidget* dialog) {
                        stillOpen = dialog->objectName() == "9000";
                        Click(dialog, IDCANCEL);
                      }});
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(std::memcmp(&boss, &before, sizeof boss), 0);
  EXPECT_EQ(AdmCheck("Boss", "old"), 1);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  ExpectBox(boxes.Shown()[0], 42, u"Error", MB_ICONERROR, MB_OK);
}

class AdminDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    for (_PWDTBL* account : {&boss, &ann}) ASSERT_TRUE(users.AddPwd(account));
    ASSERT_TRUE(AdmSetEx(&boss));
  }
  static QTreeWidgetItem* Row(QWidget* dialog, const QString& user) {
    auto* list = Control<QTreeWidget>(dialog, 9032);
    for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
      if (list->topLevelItem(i)->text(0) == user) return list->topLevelItem(i);
    }
    ADD_FAILURE() << "no row " << user.toStdString();
    return nullptr;
  }
  static void Select(QWidget* dialog, const QString& user) {
    if (QTreeWidgetItem* row = Row(dialog, user)) Control<QTreeWidget>(dialog, 9032)->setCurrentItem(row);
  }
  // A right click on the list: the menu it opens.
  static QMenu* RightClick(QWidget* dialog) {
    auto* list = Control<QTreeWidget>(dialog, 9032);
    emit list->customContextMenuRequested(QPoint(5, 5));
    QList<QMenu*> menus = dialog->findChildren<QMenu*>("9032", Qt::FindDirectChildrenOnly);
    return menus.isEmpty() ? nullptr : menus.last();  // a closed one goes later
  }
  static QAction* Item(QMenu* menu, int id) {
    for (QAction* action : menu->actions()) {
      if (action->objectName() == QString::number(id)) return action;
    }
    ADD_FAILURE() << "no menu item " << id;
    return nullptr;
  }
  int Run(std::vector<Step> steps, int brand = 0) {
    return Drive([&] { return AdminDialog(locks.data(), static_cast<int>(locks.size()), &loggedIn, &users, &lockDb, brand); },
                 std::move(steps));
  }

  _PWDTBL boss = MakeAccount(u"Boss", u"pw", 1), ann = MakeAccount(u"Ann", u"pw", 0, u"accounts");
  _PWDTBL loggedIn = boss;
  std::vector<_LCK_INFORMAION> locks;
};

TEST_F(AdminDialogTest, RowsCarryIconsTextsAndRecordsAndTheAdministratorNeverGetsDelete) {
  int result = Run({[&](QWidget* dialog) {
    auto* list = Control<QTreeWidget>(dialog, 9032);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* admin = Row(dialog, "Boss");
    QTreeWidgetItem* other = Row(dialog, "Ann");
    ASSERT_TRUE(admin && other);
    EXPECT_EQ(admin->text(1), Q(Text(29)));
    EXPECT_EQ(other->text(1), "accounts");
    QByteArray data = other->data(0, Qt::UserRole).toByteArray();
    ASSERT_EQ(data.size(), static_cast<qsizetype>(sizeof(_PWDTBL)));
    EXPECT_EQ(std::memcmp(data.constData(), &ann, sizeof ann), 0);
    auto* remove = Control<QPushButton>(dialog, IDABORT);
    EXPECT_FALSE(remove->isEnabled());
    Select(dialog, "Ann");
    EXPECT_TRUE(remove->isEnabled());
    Select(dialog, "Boss");
    EXPECT_FALSE(remove->isEnabled());
    QMenu* menu = RightClick(dialog);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(Item(menu, 32771)->isEnabled());
    EXPECT_FALSE(Item(menu, 32772)->isEnabled());
    EXPECT_FALSE(Item(menu, 32775)->isEnabled());
    EXPECT_FALSE(remove->isEnabled()) << "not after a right click either";
    menu->close();
    list->clearSelection();
    list->setCurrentItem(nullptr);
    menu = RightClick(dialog);
    EXPECT_TRUE(Item(menu, 32771)->isEnabled());
    EXPECT_FALSE(Item(menu, 32772)->isEnabled());
    menu->close();
    Click(dialog, IDCANCEL);
  }});
  EXPECT_EQ(result, 1) << "closed without unlocking";
}

TEST_F(AdminDialogTest, TheLoggedInAccountCannotDeleteItselfAndOwnersOfLocksStay) {
  loggedIn = ann;
  locks.push_back(MakeLock(u'D', u"\\Data", util_test::kSerialD, u"Ann"));
  boxes.Answer(IDYES);
  boxes.Answer(IDOK);
  int result = Run({[&](QWidget* dialog) {
    Select(dialog, "Ann");
    Click(dialog, IDABORT);
    EXPECT_FALSE(Control<QPushButton>(dialog, IDABORT)->isEnabled());
    Click(dialog, IDCANCEL);
  }});
  EXPECT_EQ(result, 1);
  ASSERT_EQ(boxes.Shown().size(), 2u);
  ExpectBox(boxes.Shown()[0], 37, u"Warning", MB_ICONQUESTION, MB_YESNO);
  ExpectBox(boxes.Shown()[1], 36, u"Error", MB_ICONERROR, MB_OK);
  EXPECT_EQ(users.GetCountPwd(), 2);
}

TEST_F(AdminDialogTest, EditionTwoOnSimplifiedChineseUnlocksTheOwnersLocksAndReturnsZero) {
  SetSystemLanguage(2052);
  _LCK_INFORMAION lock = MakeLock(u'D', u"\\Ann", util_test::kSerialD, u"Ann");
  machine.MakeFolder('D', "\\Ann");
  CVAULTObj vault;
  ASSERT_EQ(util_test::Quietly([&] { return vault.Lock(&lock, 0); }), 1);
  ASSERT_EQ(GetLockCount(), 1);
  ASSERT_TRUE(lockDb.AddLock(&lock));
  locks.push_back(lock);
  nb::win::ClearShellNotifications();
  boxes.Answer(IDYES);
  int result = Run({[&](QWidget* dialog) {
                     Select(dialog, "Ann");
                     Click(dialog, IDABORT);
                     Click(dialog, IDCANCEL);
                   }},
                   2);
  EXPECT_EQ(result, 0) << "the caller reloads its list";
  EXPECT_EQ(GetLockCount(), 0) << "unlocked in the driver";
  EXPECT_EQ(lockDb.GetCountLock(), 0);
  EXPECT_EQ(users.GetCountPwd(), 1);
  EXPECT_EQ(nb::win::ShellNotifications().size(), 2u);
}

TEST_F(AdminDialogTest, TheRoleHandOverAsksAndClearsTheLoggedInFlagAtOnce) {
  boxes.Answer(IDYES);
  int result = Run({[&](QWidget* dialog) {
    Select(dialog, "Ann");
    QMenu* menu = RightClick(dialog);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(Item(menu, 32771)->isEnabled());
    EXPECT_TRUE(Item(menu, 32772)->isEnabled());
    Item(menu, 32775)->trigger();
    EXPECT_EQ(loggedIn.admin, 0);
    EXPECT_EQ(Row(dialog, "Ann")->text(1), Q(Text(29)));
    Click(dialog, IDCANCEL);
  }});
  EXPECT_EQ(result, 1);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].caption, Text(41));
  EXPECT_EQ(boxes.Shown()[0].text, nb::text::FormatWide(Text(31).c_str(), u"Boss", u"Ann"));
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONQUESTION));
  EXPECT_EQ(AdmCheck("Ann", "pw"), 1) << "the registry copy is the new administrator";
}

TEST_F(AdminDialogTest, AddRefusesATakenNameAndStoresANewAccount) {
  int result = Run({[&](QWidget* dialog) { Click(dialog, 9033); },
                    [&](QWidget* add) {
                      EXPECT_EQ(add->objectName(), "9040");
                      Type(add, 9031, "Ann");
                      Type(add, 1004, "pw");
                      Type(add, 1005, "pw");
                      Click(add, IDOK);
                    },
                    [&](QWidget* add) {
                      EXPECT_EQ(add->objectName(), "9040") << "stays open";
                      Type(add, 9031, "Cleo");
                      Type(add, 1006, "new one");
                      Click(add, IDOK);
                    },
                    [&](QWidget* dialog) {
                      EXPECT_EQ(dialog->objectName(), "9021");
                      EXPECT_NE(Row(dialog, "Cleo"), nullptr);
                      Click(dialog, IDCANCEL);
                    }});
  EXPECT_EQ(result, 1);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  ExpectBox(boxes.Shown()[0], 38, u"Warning", MB_ICONWARNING, MB_OK);
  EXPECT_EQ(boxes.Shown()[0].owner, nullptr) << "application modal";
  EXPECT_EQ(users.GetCountPwd(), 3);
}

TEST_F(DialogsTest, TheFirstRunDialogCreatesTheAdministratorInBothStores) {
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  int result = Drive([&] { return AdminAddDialog(nullptr, 0, &account, &users); },
                     {[&](QWidget* dialog) {
                       EXPECT_EQ(dialog->windowTitle(), Q(Text(33)));
                       EXPECT_FALSE(Control<QLabel>(dialog, 9036)->pixmap().isNull());
                       EXPECT_EQ(Control<QLabel>(dialog, 9037)->text(), Q(Text(32)));
                       Type(dialog, 9031, "Boss");
                       Type(dialog, 1004, "pw");
                       Type(dialog, 1005, "pw");
                       Click(dialog, IDOK);
                     }});
  EXPECT_EQ(result, 1);
  EXPECT_EQ(account.admin, 1);
  EXPECT_EQ(AdmCheck("Boss", "pw"), 1);
  EXPECT_EQ(users.GetCountPwd(), 1);
}

TEST_F(DialogsTest, DefaultsOpenHiddenAndZeroAndAFailedSaveShowsTheCodeAndText) {
  bool saveDisabled = false;
  Drive([&] {
    DefValueDialog();
    return 0;
  },
        {[&](QWidget* dialog) {
          auto* mode = Control<QComboBox>(dialog, 1017);
          EXPECT_EQ(mode->currentIndex(), 0);
          EXPECT_EQ(mode->itemData(1).toInt(), 4);
          EXPECT_EQ(Control<QSpinBox>(dialog, 1013)->value(), 0);
          EXPECT_EQ(Control<QSpinBox>(dialog, 1013)->maximum(), 10000);
          saveDisabled = !Control<QPushButton>(dialog, 9024)->isEnabled();
          mode->setCurrentIndex(1);
          EXPECT_TRUE(Control<QPushButton>(dialog, 9024)->isEnabled());
          Type(dialog, 1011, "45");
          Click(dialog, 9024);
        }});
  EXPECT_TRUE(saveDisabled);
  int mode = 0, timeout = 0;
  ASSERT_TRUE(GetDefOption(&mode, &timeout));
  EXPECT_EQ(mode, 4);
  EXPECT_EQ(timeout, 45);

  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_ALL_ACCESS, &key), 0);
  ASSERT_EQ(RegDeleteKeyW(key, u"NBAdmin"), 0);
  RegCloseKey(key);
  Drive([&] {
    DefValueDialog();
    return 0;
  },
        {[&](QWidget* dialog) {
           Control<QSpinBox>(dialog, 1013)->setValue(5);
           Click(dialog, 9024);
         },
         [&](QWidget* dialog) {
           EXPECT_EQ(dialog->objectName(), "9016") << "stays open";
           Click(dialog, IDCANCEL);
         }});
  ASSERT_EQ(boxes.Shown().size(), 1u);
  WCHAR system[1024] = {};
  SysMessage(ERROR_FILE_NOT_FOUND, system);
  EXPECT_EQ(boxes.Shown()[0].text, nb::text::FormatWide(Text(20).c_str(), ERROR_FILE_NOT_FOUND, system));
  EXPECT_EQ(boxes.Shown()[0].caption, u"Error");
  EXPECT_EQ(boxes.Shown()[0].Icon(), static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(boxes.Shown()[0].owner, nullptr);
}

TEST_F(DialogsTest, TheSplashShowsOnlyForEditionTwoOnSimplifiedChineseAndClosesItself) {
  struct Case {
    int brand;
    LANGID language;
    bool shown;
  };
  for (Case c : {Case{2, 1033, false}, Case{0, 2052, false}, Case{1, 2052, false}, Case{2, 2052, true}}) {
    SetSystemLanguage(c.language);
    bool seen = false;
    QElapsedTimer clock;
    clock.start();
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
      if (QWidget* top = QApplication::activeModalWidget(); top && top->objectName() == "9054") seen = true;
    });
    probe.start(10);
    SplashDialog(c.brand);
    probe.stop();
    EXPECT_EQ(seen, c.shown) << c.brand << " " << c.language;
    if (c.shown) {
      EXPECT_GE(clock.elapsed(), 450);
      EXPECT_LT(clock.elapsed(), 5000) << "closes by itself";
    }
  }
}

TEST_F(DialogsTest, WithoutTheLanguageModuleEveryExportReturnsZero) {
  ASSERT_FALSE(nb::dialogs::LoadResources(u"C:\\Windows"));
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  int remember = 0;
  EXPECT_EQ(LoginDialog(0, &account, &remember, &users), 0);
  EXPECT_EQ(PwdDialog(u"a", u"b"), 0);
  EXPECT_EQ(ChangePwdDialog(&account, &users), 0);
  EXPECT_EQ(AdminDialog(nullptr, 0, &account, &users, &lockDb, 0), 0);
  EXPECT_EQ(AdminAddDialog(nullptr, 0, &account, &users), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(DialogsTest, EachLanguageModuleLoadsWithEveryTextAndImage) {
  const UINT numbered[] = {1,   2,   3,   4,   16,  17,  18,  19,  20,  21,  25,  26,  29,  30,  31,  32,  33,
                           34,  35,  36,  37,  38,  39,  40,  41,  42,  43,  45,  46,  47,  48,  100, 101,
                           102, 103, 104, 105, 110, 111, 120, 121, 122, 123, 124,
                           130, 131, 132, 133, 134, 135, 140, 141, 142, 143, 150, 151, 152, 153, 154, 160, 170, 171,
                           180, 181};
  struct Case {
    DWORD value;
    const char16_t* code;
  };
  std::u16string english31;
  for (Case c : {Case{7, u"EN"}, Case{2, u"JP"}, Case{0, u"KO"}, Case{1, u"CH"}}) {
    SetInstalledLanguage(c.value);
    ASSERT_TRUE(nb::dialogs::LoadResources(ProgramFolder())) << std::string(c.code, c.code + 2);
    EXPECT_EQ(nb::dialogs::ResourceLanguage(), c.code);
    for (UINT id : numbered) EXPECT_FALSE(Text(id).empty()) << "string " << id << " in " << std::string(c.code, c.code + 2);
    if (english31.empty()) {
      english31 = Text(31);
    } else {
      EXPECT_NE(Text(31), english31) << "a translation";
    }
    for (UINT image : {9036u, 9037u, 9054u}) EXPECT_FALSE(nb::dialogs::Image(image).isNull()) << image;
  }
}

}  // namespace
}  // namespace dialogs_test
