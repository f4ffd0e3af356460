// The lock add and lock property dialogs.
#include "lock_dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <windows.h>
#include <shlobj.h>

#include "NBUtil.h"
#include "library.h"
#include "lock_rules.h"
#include "nb/win/qt_message_box.h"

namespace nb::dialogs {

namespace {

constexpr UINT kOk = 104, kCancel = 105, kAddCaption = 130, kFolderLabel = 131, kDriveLabel = 132, kBrowse = 133,
               kModeLabel = 134, kTimeoutLabel = 135, kPropertyCaption = 140, kLockLabel = 141, kStatusLabel = 142,
               kApply = 143;

QString QStringOf(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string TextOf(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

bool DriveAccepted(WCHAR letter) { return CheckDrive(letter) != 0; }

}  // namespace

CAddDialog::CAddDialog(const _LCK_INFORMAION* existing, int count, _LCK_INFORMAION* out, QWidget* parent)
    : QDialog(parent), out_(out) {
  if (existing && count > 0) existing_.assign(existing, existing + count);
  setObjectName("9006");
  setWindowTitle(Text(kAddCaption));
  folder_ = Named(new QRadioButton(Text(kFolderLabel), this), 9001);
  drive_ = Named(new QRadioButton(Text(kDriveLabel), this), 9000);
  path_ = Named(new QLineEdit(this), 1008);
  path_->setMaxLength(kFolderPathChars);
  path_->setMinimumWidth(280);
  browse_ = Named(new QPushButton(Text(kBrowse), this), 1009);
  drives_ = Named(new QComboBox(this), 9003);
  mode_ = Named(new QComboBox(this), 1010);
  timeout_ = MakeTimeoutSpin(this, 1013, 0);

  for (WCHAR letter : OfferedDrives(GetLogicalDrives(), SystemDriveLetter(), DriveAccepted)) {
    drives_->addItem(QStringOf(std::u16string{letter, u':'}));
  }
  if (drives_->count()) drives_->setCurrentIndex(0);
  FillModeList(mode_);
  int mode = 1, timeout = 0;
  if (!GetDefOption(&mode, &timeout)) mode = 1, timeout = 0;
  SelectMode(mode_, mode);
  timeout_->setValue(timeout);
  folder_->setChecked(true);
  UpdateKind();
  connect(folder_, &QRadioButton::clicked, this, [this] { UpdateKind(); });
  connect(drive_, &QRadioButton::clicked, this, [this] { UpdateKind(); });
  connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });

  auto* grid = new QGridLayout;
  grid->addWidget(folder_, 0, 0);
  grid->addWidget(path_, 0, 1);
  grid->addWidget(browse_, 0, 2);
  grid->addWidget(drive_, 1, 0);
  grid->addWidget(drives_, 1, 1);
  auto* form = new QFormLayout;
  form->addRow(Text(kModeLabel), mode_);
  form->addRow(Text(kTimeoutLabel), timeout_);
  auto* buttons = new QDialogButtonBox(this);
  Named(buttons->addButton(Text(kOk), QDialogButtonBox::AcceptRole), IDOK)->setDefault(true);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CAddDialog::UpdateKind() {
  bool folder = folder_->isChecked();
  path_->setEnabled(folder);
  browse_->setEnabled(folder);
  drives_->setEnabled(!folder);
}

void CAddDialog::Browse() {
  std::u16string title = TextW(kMsgBrowseTitle);
  WCHAR name[MAX_PATH] = {};
  BROWSEINFOW info{};
  info.hwndOwner = nb::win::WindowHandleOf(this);
  info.pszDisplayName = name;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (!chosen) return;
  WCHAR path[MAX_PATH] = {};
  bool found = SHGetPathFromIDListW(chosen, path);
  ILFree(chosen);
  if (found && TakesBrowsedFolder(path, DriveAccepted)) path_->setText(QStringOf(path));
}

void CAddDialog::accept() {
  LockChoice choice;
  if (folder_->isChecked()) {
    std::u16string typed = TextOf(path_->text());
    if (typed.empty()) return;
    std::u16string resolved;
    if (UINT message = ResolveFolderPath(typed, DriveAccepted, &resolved)) {
      QString text = message == kMsgNoFolder        ? Format(message, typed.c_str())
                     : message == kMsgDriveRejected ? Format(message, static_cast<int>(UpperLetter(typed[0])))
                                                    : Text(message);
      Message(this, text, u"Warning", MB_OK | MB_ICONWARNING);
      return;
    }
    choice.folder = true;
    choice.drive = resolved[0];
    choice.path = resolved.substr(2);
  } else {
    if (drives_->currentIndex() < 0) return;
    choice.folder = false;
    choice.drive = TextOf(drives_->currentText())[0];
  }
  choice.timeout = timeout_->value();
  choice.mode = mode_->currentData().toInt();
  CVAULTObj vault;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  AddOutcome outcome = AddLock(choice, existing_.data(), static_cast<int>(existing_.size()), vault, out_);
  QApplication::restoreOverrideCursor();
  if (outcome.message) Warning(this, outcome.message);
  if (outcome.locked) QDialog::accept();
}

CPropertyDialog::CPropertyDialog(_LCK_INFORMAION* lock, QWidget* parent) : QDialog(parent), lock_(lock) {
  setObjectName("9009");
  setWindowTitle(Text(kPropertyCaption));
  timeout_ = MakeTimeoutSpin(this, 1013, 1011);
  {
    CVAULTObj vault;
    lock_->realDrive = vault.GetRealDrive(lock_->drive, false);
  }
  auto* name = Named(new QLabel(QStringOf(LockName(*lock_)), this), 9019);
  auto* status = Named(new QLabel(Text(StatusMessage(*lock_)), this), 9009);
  timeout_->setValue(lock_->timeout);
  mode_ = Named(new QComboBox(this), 1017);
  FillModeList(mode_);
  if (KnownMode(lock_->mode)) {
    SelectMode(mode_, lock_->mode);
  } else {
    mode_->setPlaceholderText(Text(kMsgUnknownMode));
    mode_->setCurrentIndex(-1);
    mode_->setEnabled(false);
  }
  if (lock_->status == LCK_STATUS_PAUSED) {
    mode_->setEnabled(false);
    timeout_->setEnabled(false);
  }
  auto* buttons = new QDialogButtonBox(this);
  apply_ = Named(buttons->addButton(Text(kApply), QDialogButtonBox::ApplyRole), 1018);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  apply_->setEnabled(false);
  connect(apply_, &QPushButton::clicked, this, [this] { Apply(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto enable = [this] { apply_->setEnabled(true); };
  connect(mode_, &QComboBox::currentIndexChanged, this, enable);
  connect(timeout_, &QSpinBox::valueChanged, this, enable);
  if (auto* edit = timeout_->findChild<QLineEdit*>("1011")) connect(edit, &QLineEdit::textEdited, this, enable);

  auto* form = new QFormLayout;
  form->addRow(Text(kLockLabel), name);
  form->addRow(Text(kStatusLabel), status);
  form->addRow(Text(kModeLabel), mode_);
  form->addRow(Text(kTimeoutLabel), timeout_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

void CPropertyDialog::Apply() {
  std::optional<int> mode;
  if (mode_->currentIndex() >= 0) mode = mode_->currentData().toInt();
  ApplyProperties(lock_, mode, timeout_->value(), [](_LCK_INFORMAION* lock) {
    CVAULTObj vault;
    return vault.SetLock(lock, 1) != 0;
  });
  accept();
}

}  // namespace nb::dialogs
