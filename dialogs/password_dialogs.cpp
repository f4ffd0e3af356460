// The login, password and password-change dialogs.
#include "password_dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "account_rules.h"
#include "library.h"

namespace nb::dialogs {

namespace {

// Captions and labels of the module.
constexpr UINT kLoginCaption = 100, kUserLabel = 101, kPasswordLabel = 102, kRemember = 103, kOk = 104,
               kCancel = 105, kPwdCaption = 110, kPwdPrompt = 111, kChangeCaption = 120, kCommentLabel = 121,
               kNewPasswordLabel = 122, kAgainLabel = 123, kChange = 124;

std::u16string TextOf(const QLineEdit* edit) {
  QString text = edit->text();
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

QString QStringOf(const WCHAR* field, size_t units) {
  std::u16string text = FieldText(field, units);
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QLineEdit* MakeEdit(QWidget* parent, int id, int maxChars) {
  auto* edit = Named(new QLineEdit(parent), id);
  edit->setMaxLength(maxChars);
  return edit;
}

// OK (id 1) and Cancel (id 2) wired to accept and reject.
QDialogButtonBox* MakeButtons(QDialog* dialog, UINT okText = kOk) {
  auto* buttons = new QDialogButtonBox(dialog);
  Named(buttons->addButton(Text(okText), QDialogButtonBox::AcceptRole), IDOK)->setDefault(true);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

}  // namespace

QLineEdit* MakePasswordEdit(QWidget* parent, int id) {
  QLineEdit* edit = MakeEdit(parent, id, kPasswordChars);
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

CLoginDialog::CLoginDialog(_PWDTBL* account, int* remember, CMdb* users, QWidget* parent)
    : QDialog(parent), account_(account), remember_(remember), users_(users) {
  setObjectName("9020");
  setWindowTitle(Text(kLoginCaption));
  name_ = MakeEdit(this, 9031, kUserNameChars);
  password_ = MakePasswordEdit(this, 1007);
  auto* rememberBox = Named(new QCheckBox(Text(kRemember), this), 9040);
  if (*remember_) name_->setText(QStringOf(account_->user, PWD_USER_UNITS));
  rememberBox->setChecked(*remember_ != 0);
  // The caller's flag follows each click at once, also when the dialog is cancelled.
  connect(rememberBox, &QCheckBox::clicked, this, [this](bool checked) { *remember_ = checked ? 1 : 0; });
  auto* form = new QFormLayout;
  form->addRow(Text(kUserLabel), name_);
  form->addRow(Text(kPasswordLabel), password_);
  form->addRow(QString(), rememberBox);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(MakeButtons(this));
  if (!name_->text().isEmpty()) password_->setFocus();
}

void CLoginDialog::accept() {
  if (UINT message = CheckLogin(TextOf(name_), TextOf(password_), account_, *users_)) {
    Warning(this, message);
    return;
  }
  QDialog::accept();
}

CPwdDialog::CPwdDialog(const WCHAR* user, const WCHAR* digest, QWidget* parent)
    : QDialog(parent), digest_(FieldText(digest, PWD_PASSWORD_UNITS)) {
  setObjectName("9005");
  setWindowTitle(Text(kPwdCaption));
  auto* name = MakeEdit(this, 9031, kUserNameChars);
  name->setText(QStringOf(user, PWD_USER_UNITS));
  name->setReadOnly(true);
  password_ = MakePasswordEdit(this, 1007);
  auto* form = new QFormLayout;
  form->addRow(Text(kUserLabel), name);
  form->addRow(Text(kPasswordLabel), password_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Text(kPwdPrompt), this));
  layout->addLayout(form);
  layout->addWidget(MakeButtons(this));
  password_->setFocus();
}

void CPwdDialog::accept() {
  if (UINT message = CheckPassword(TextOf(password_), digest_)) {
    Warning(this, message, MB_OKCANCEL);  // the answer does not matter: the dialog stays
    return;
  }
  QDialog::accept();
}

CChangePwdDialog::CChangePwdDialog(_PWDTBL* account, CMdb* users, QWidget* parent)
    : QDialog(parent), account_(account), users_(users) {
  setObjectName("9000");
  setWindowTitle(Text(kChangeCaption));
  auto* name = MakeEdit(this, 9031, kUserNameChars);
  name->setText(QStringOf(account->user, PWD_USER_UNITS));
  name->setReadOnly(true);
  comment_ = MakeEdit(this, 1007, kCommentChars);
  comment_->setText(QStringOf(account->comment, PWD_COMMENT_UNITS));
  password_ = MakePasswordEdit(this, 1004);
  again_ = MakePasswordEdit(this, 1005);
  auto* form = new QFormLayout;
  form->addRow(Text(kUserLabel), name);
  form->addRow(Text(kCommentLabel), comment_);
  form->addRow(Text(kNewPasswordLabel), password_);
  form->addRow(Text(kAgainLabel), again_);
  auto* buttons = new QDialogButtonBox(this);
  auto* change = Named(buttons->addButton(Text(kChange), QDialogButtonBox::ActionRole), 1006);
  change->setDefault(true);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  connect(change, &QPushButton::clicked, this, [this] { Apply(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  password_->setFocus();
}

void CChangePwdDialog::Apply() {
  UINT message = ChangePassword(account_, *users_, TextOf(password_), TextOf(again_), TextOf(comment_));
  if (message == kMsgNotSaved) {
    Message(this, Text(message), u"Error", MB_OK | MB_ICONERROR);
    return;
  }
  if (message) {
    Warning(this, message);
    return;
  }
  QDialog::accept();
}

}  // namespace nb::dialogs
