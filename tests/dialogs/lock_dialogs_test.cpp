// The lock add and lock property dialogs driven through their controls on the machine with
// the real filter and removable-device drivers, and the folder browser answered by a script.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "NBMgrSDK.h"
#include "NBUtil.h"
#include "account_rules.h"
#include "dialog_machine.h"
#include "nb/machine_defaults.h"
#include "nb/win/qt_folder_browser.h"

namespace dialogs_test {
namespace {

using nb::dialogs::FieldText;

QString Q(std::u16string_view text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

QStringList Items(QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

std::vector<std::u16string> Registered() {
  _DRIVESERIAL list;
  std::memset(&list, 0, sizeof list);
  int error = 0;
  EXPECT_TRUE(AddedDeviceList(&list, &error));
  std::vector<std::u16string> out;
  for (int i = 0; i < list.count; ++i) out.push_back(std::u16string(1, list.letter[i]));
  return out;
}

class AddDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    machine.MakeFolder('D', "\\Data\\Sub");
    machine.MakeFolder('D', "\\Other");
    machine.MakeFolder('E', "\\Data");
    machine.MakeFolder('Z', "\\Share");
    std::memset(&added, 0, sizeof added);
  }
  int Run(std::vector<Step> steps) {
    return Drive([&] { return AddDialog(existing.data(), static_cast<int>(existing.size()), &added); },
                 std::move(steps));
  }
  // Types a folder path and presses OK.
  static Step LockFolder(const QString& path, int timeout = 0) {
    return [=](QWidget* dialog) {
      Type(dialog, 1008, path);
      Control<QSpinBox>(dialog, 1013)->setValue(timeout);
      Click(dialog, IDOK);
    };
  }

  std::vector<_LCK_INFORMAION> existing;
  _LCK_INFORMAION added;
};

TEST_F(AddDialogTest, OpensWithTheOfferedDrivesAndTheDefaults) {
  ASSERT_TRUE(SetDefOption(4, 15));
  Run({[&](QWidget* dialog) {
    EXPECT_EQ(Items(Control<QComboBox>(dialog, 9003)), QStringList({"D:", "E:"})) << "not C: (system), not Z: (remote)";
    EXPECT_EQ(Control<QComboBox>(dialog, 9003)->currentIndex(), 0);
    EXPECT_EQ(Control<QComboBox>(dialog, 1010)->currentData().toInt(), 4);
    EXPECT_EQ(Control<QSpinBox>(dialog, 1013)->value(), 15);
    EXPECT_EQ(Control<QSpinBox>(dialog, 1013)->maximum(), 10000);
    EXPECT_TRUE(Control<QRadioButton>(dialog, 9001)->isChecked());
    EXPECT_TRUE(Control<QLineEdit>(dialog, 1008)->isEnabled());
    EXPECT_TRUE(Control<QPushButton>(dialog, 1009)->isEnabled());
    EXPECT_FALSE(Control<QComboBox>(dialog, 9003)->isEnabled());
    Click(dialog, 9000);
    EXPECT_FALSE(Control<QLineEdit>(dialog, 1008)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(dialog, 1009)->isEnabled());
    EXPECT_TRUE(Control<QComboBox>(dialog, 9003)->isEnabled());
    Click(dialog, IDCANCEL);
  }});

  // The system drive is whatever %SystemDrive% names, in any case.
  std::u16string key(nb::machine::kEnvironmentKey);
  util_test::UtilMachine::SetValue(key.c_str(), u"SystemDrive", REG_SZ, u"d:", 6);
  Run({[&](QWidget* dialog) {
    EXPECT_EQ(Items(Control<QComboBox>(dialog, 9003)), QStringList({"C:", "E:"}));
    Click(dialog, IDCANCEL);
  }});
}

TEST_F(AddDialogTest, TheBrowserFillsThePathOnlyBelowADriveRoot) {
  QString status;
  std::u16string pick = u"D:\\";
  nb::win::ScopedFolderChooserScript script([&](nb::win::QtFolderChooser& chooser) {
    EXPECT_TRUE(chooser.Select(pick));
    status = chooser.StatusText();
    return true;
  });
  Run({[&](QWidget* dialog) {
         Type(dialog, 1008, "D:\\Other");
         Click(dialog, 1009);
         EXPECT_EQ(status, "D:\\");
         EXPECT_EQ(Control<QLineEdit>(dialog, 1008)->text(), "D:\\Other") << "a drive root is not taken";
         pick = u"d:\\data\\SUB";
         Click(dialog, 1009);
         EXPECT_EQ(status, "D:\\Data\\Sub") << "the status line names the selection as listed";
         EXPECT_EQ(Control<QLineEdit>(dialog, 1008)->text(), "D:\\Data\\Sub");
       },
       LockFolder("")});  // an empty path does nothing: still open afterwards
  EXPECT_EQ(GetLockCount(), 0);
}

TEST_F(AddDialogTest, TheBrowserCancelledOrOnAMissingFolderChangesNothing) {
  nb::win::ScopedFolderChooserScript script([&](nb::win::QtFolderChooser& chooser) {
    EXPECT_FALSE(chooser.Select(u"D:\\Missing"));
    EXPECT_FALSE(chooser.Select(u"Q:\\"));
    EXPECT_TRUE(chooser.Selection().empty());
    EXPECT_TRUE(chooser.Select(u"E:\\Data"));
    return false;  // Cancel
  });
  Run({[&](QWidget* dialog) {
    Click(dialog, 1009);
    EXPECT_TRUE(Control<QLineEdit>(dialog, 1008)->text().isEmpty());
    Click(dialog, IDCANCEL);
  }});
}

TEST_F(AddDialogTest, ExcludedNestedMissingAndRootFoldersWarnAndKeepTheDialogOpen) {
  existing.push_back(MakeLock(u'D', u"\\Data", util_test::kSerialD, u""));
  int result = Run({LockFolder("C:\\Windows"), LockFolder("D:\\Data\\Sub"), LockFolder("D:\\"),
                    LockFolder("D:\\Data\\..\\Other\\..\\Data"), LockFolder("D:\\Missing"), LockFolder("Other"),
                    LockFolder("z:\\Share"), LockFolder("D:\\Other")});
  EXPECT_EQ(result, 1);
  auto shown = boxes.Shown();
  ASSERT_EQ(shown.size(), 7u);
  const UINT messages[] = {21, 4, 47, 4, 45, 45, 48};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(shown[i].caption, u"Warning") << i;
    EXPECT_EQ(shown[i].Icon(), static_cast<UINT>(MB_ICONWARNING)) << i;
    EXPECT_NE(shown[i].owner, nullptr) << i;
    if (messages[i] != 45 && messages[i] != 48) {
      EXPECT_EQ(shown[i].text, Text(messages[i])) << i;
    }
  }
  EXPECT_NE(shown[4].text.find(u"D:\\Missing"), std::u16string::npos) << "names the folder";
  EXPECT_NE(shown[6].text.find(u"Z:"), std::u16string::npos) << "a typed folder on a remote drive, as the browser";
  EXPECT_EQ(FieldText(added.path, LCK_PATH_UNITS), u"\\Other");
  EXPECT_EQ(GetLockCount(), 1);
}

TEST_F(AddDialogTest, ATypedPathIsResolvedAndTimeOutZeroLocksRunning) {
  int result = Run({LockFolder("d:\\Data\\..\\Data\\", 0)});
  ASSERT_EQ(result, 1);
  EXPECT_EQ(added.type, LCK_TYPE_FOLDER);
  EXPECT_EQ(added.drive, u'D');
  EXPECT_EQ(added.realDrive, u'D');
  EXPECT_EQ(FieldText(added.path, LCK_PATH_UNITS), u"\\Data");
  EXPECT_EQ(added.running, 1);
  EXPECT_EQ(added.status, LCK_STATUS_LOCKED);
  EXPECT_EQ(added.serial, util_test::kSerialD);
  EXPECT_EQ(added.mode, 1);
  _LCK_INFORMAION inDriver;
  ASSERT_EQ(GetLockCount(), 1);
  ASSERT_TRUE(GetLockInfo(&inDriver, 1));
  EXPECT_EQ(FieldText(inDriver.path, LCK_PATH_UNITS), u"\\Data") << "the driver holds the entry it will match";
  EXPECT_EQ(Registered(), std::vector<std::u16string>({u"D"}));
}

TEST_F(AddDialogTest, ADriveLockWithATimeOutIsReadyNotRunning) {
  int result = Run({[&](QWidget* dialog) {
    Click(dialog, 9000);
    Control<QComboBox>(dialog, 9003)->setCurrentIndex(1);
    Control<QComboBox>(dialog, 1010)->setCurrentIndex(1);
    Control<QSpinBox>(dialog, 1013)->setValue(5);
    Click(dialog, IDOK);
  }});
  ASSERT_EQ(result, 1);
  EXPECT_EQ(added.type, LCK_TYPE_DRIVE);
  EXPECT_EQ(added.drive, u'E');
  EXPECT_EQ(FieldText(added.path, LCK_PATH_UNITS), u"");
  EXPECT_EQ(added.mode, 4);
  EXPECT_EQ(added.timeout, 5);
  EXPECT_EQ(added.running, 0);
  EXPECT_EQ(added.serial, util_test::kSerialE);
  EXPECT_EQ(GetLockCount(), 1);
}

TEST_F(AddDialogTest, AFailedDriverLockWithdrawsOnlyTheRegistrationItMade) {
  // The driver holds E:\Data already (a lock the caller's list does not show).
  CVAULTObj vault;
  _LCK_INFORMAION held = MakeLock(u'E', u"\\Data", util_test::kSerialE, u"");
  held.mode = 4;  // read only: the folder stays visible to the dialog's checks
  ASSERT_EQ(util_test::Quietly([&] { return vault.Lock(&held, 0); }), 1);
  ASSERT_TRUE(Registered().empty());
  int result = Run({LockFolder("E:\\Data")});  // left open: cancelled by the driver
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(Registered().empty()) << "the registration this attempt made is withdrawn";

  // Another lock on the volume registered it: a failing attempt leaves that registration.
  _LCK_INFORMAION other = MakeLock(u'E', u"\\Other", util_test::kSerialE, u"");
  ASSERT_TRUE(vault.AddDevice(&other, false));
  ASSERT_EQ(Registered(), std::vector<std::u16string>({u"E"}));
  result = Run({LockFolder("E:\\Data")});
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Registered(), std::vector<std::u16string>({u"E"}));
  EXPECT_EQ(added.status, 0) << "the caller's record stays untouched";
  ASSERT_EQ(boxes.Shown().size(), 2u) << "each attempt reached the driver";
  for (const auto& box : boxes.Shown()) {
    EXPECT_EQ(box.caption, u"Error") << std::string(box.text.begin(), box.text.end());
  }
}

class PropertyDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    machine.MakeFolder('D', "\\Data");
    lock = MakeLock(u'D', u"\\Data", util_test::kSerialD, u"");
    lock.timeout = 5;
    lock.running = 0;
  }
  int Run(std::vector<Step> steps) { return Drive([&] { return PropertyDialog(&lock); }, std::move(steps)); }

  _LCK_INFORMAION lock;
};

TEST_F(PropertyDialogTest, AppliedChangesReachTheDriver) {
  CVAULTObj vault;
  ASSERT_EQ(util_test::Quietly([&] { return vault.Lock(&lock, 0); }), 1);
  int result = Run({[&](QWidget* dialog) {
    EXPECT_EQ(Control<QLabel>(dialog, 9019)->text(), "D:\\Data");
    EXPECT_EQ(Control<QLabel>(dialog, 9009)->text(), Q(Text(16)));
    EXPECT_EQ(Control<QLineEdit>(dialog, 1011)->text(), "5");
    EXPECT_FALSE(Control<QPushButton>(dialog, 1018)->isEnabled());
    Type(dialog, 1011, "0");
    EXPECT_TRUE(Control<QPushButton>(dialog, 1018)->isEnabled());
    Control<QComboBox>(dialog, 1017)->setCurrentIndex(1);
    Click(dialog, 1018);
  }});
  EXPECT_EQ(result, 1);
  EXPECT_EQ(lock.mode, 4);
  EXPECT_EQ(lock.timeout, 0);
  EXPECT_EQ(lock.running, 1);
  _LCK_INFORMAION inDriver;
  ASSERT_TRUE(GetLockInfo(&inDriver, 1));
  EXPECT_EQ(inDriver.mode & 4, 4);
  EXPECT_EQ(inDriver.timeout, 0);
}

TEST_F(PropertyDialogTest, ARefusedChangeRestoresModeAndTimeOut) {
  // Not in the driver: SetLock fails and reports it itself.
  int result = Run({[&](QWidget* dialog) {
    Control<QComboBox>(dialog, 1017)->setCurrentIndex(1);
    Control<QSpinBox>(dialog, 1013)->setValue(0);
    Click(dialog, 1018);
  }});
  EXPECT_EQ(result, 1) << "closed by apply";
  EXPECT_EQ(lock.mode, 1);
  EXPECT_EQ(lock.timeout, 5);
  EXPECT_EQ(lock.running, 0);
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].caption, u"Error");
}

TEST_F(PropertyDialogTest, APausedLockCannotBeEdited) {
  lock.status = LCK_STATUS_PAUSED;
  lock.running = 1;
  int result = Run({[&](QWidget* dialog) {
    EXPECT_EQ(Control<QLabel>(dialog, 9009)->text(), Q(Text(18)));
    for (int id : {1017, 1013, 1011}) EXPECT_FALSE(Control<QWidget>(dialog, id)->isEnabled()) << id;
    EXPECT_FALSE(Control<QPushButton>(dialog, 1018)->isEnabled());
    Click(dialog, IDCANCEL);
  }});
  EXPECT_EQ(result, 0);
}

TEST_F(PropertyDialogTest, AnUnknownModeIsShownAsSuchAndOnlyTheTimeOutChanges) {
  lock.mode = 2;
  lock.running = 1;
  int result = Run({[&](QWidget* dialog) {
    auto* mode = Control<QComboBox>(dialog, 1017);
    EXPECT_EQ(Control<QLabel>(dialog, 9009)->text(), Q(Text(17)));
    EXPECT_FALSE(mode->isEnabled());
    EXPECT_EQ(mode->currentIndex(), -1);
    EXPECT_EQ(mode->placeholderText(), Q(Text(43)));
    EXPECT_TRUE(Control<QSpinBox>(dialog, 1013)->isEnabled());
    Control<QSpinBox>(dialog, 1013)->setValue(9);
    EXPECT_TRUE(Control<QPushButton>(dialog, 1018)->isEnabled());
    Click(dialog, IDCANCEL);
  }});
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lock.mode, 2);
  EXPECT_EQ(lock.timeout, 5) << "cancel changes nothing";
}

}  // namespace
}  // namespace dialogs_test
