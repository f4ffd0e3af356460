// The account administration and the add-account dialog.
#include "admin_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstring>

#include "library.h"
#include "password_dialogs.h"

namespace nb::dialogs {

namespace {

constexpr UINT kColumnUser = 25, kColumnComment = 26, kAdministratorText = 29, kFirstRunText = 32,
               kFirstRunCaption = 33, kConfirmDelete = 37, kConfirmRole = 31, kRoleCaption = 41;
constexpr UINT kUserLabel = 101, kPasswordLabel = 102, kOk = 104, kCancel = 105, kCommentLabel = 121,
               kAgainLabel = 123, kAdminCaption = 150, kAdd = 151, kDelete = 152, kClose = 153, kMakeAdmin = 154,
               kAddCaption = 160;
constexpr int kIconAdministrator = 9036, kIconAccount = 9037;
constexpr int kMenuAdd = 32771, kMenuDelete = 32772, kMenuMakeAdmin = 32775;

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

}  // namespace

CAdminAddDialog::CAdminAddDialog(Mode mode, std::vector<_PWDTBL> existing, _PWDTBL* out, CMdb* users,
                                 QWidget* parent)
    : QDialog(parent), mode_(mode), existing_(std::move(existing)), out_(out), users_(users) {
  setObjectName("9040");
  setWindowTitle(Text(mode == Mode::kFirstRun ? kFirstRunCaption : kAddCaption));
  name_ = MakeEdit(this, 9031, kUserNameChars);
  password_ = MakePasswordEdit(this, 1004);
  again_ = MakePasswordEdit(this, 1005);
  comment_ = MakeEdit(this, 1006, kCommentChars);
  auto* layout = new QVBoxLayout(this);
  if (mode == Mode::kFirstRun) {
    auto* top = new QHBoxLayout;
    auto* icon = Named(new QLabel(this), 9036);
    icon->setPixmap(Image(kIconAdministrator));
    auto* note = Named(new QLabel(Text(kFirstRunText), this), 9037);
    note->setWordWrap(true);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(note, 1);
    layout->addLayout(top);
  }
  auto* form = new QFormLayout;
  form->addRow(Text(kUserLabel), name_);
  form->addRow(Text(kPasswordLabel), password_);
  form->addRow(Text(kAgainLabel), again_);
  form->addRow(Text(kCommentLabel), comment_);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(this);
  Named(buttons->addButton(Text(kOk), QDialogButtonBox::AcceptRole), IDOK)->setDefault(true);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

void CAdminAddDialog::accept() {
  _PWDTBL account;
  UINT message = MakeAccount(TextOf(name_), TextOf(password_), TextOf(again_), TextOf(comment_), existing_, &account);
  if (message == kMsgNameTaken) {
    Warning(nullptr, message);  // application-modal
    return;
  }
  if (message) {
    Warning(this, message);
    return;
  }
  if (mode_ == Mode::kFirstRun) {
    if (UINT failure = StoreFirstAdministrator(&account, *users_)) {
      Message(this, Text(failure), u"Error", MB_OK | MB_ICONERROR);
      return;
    }
  }
  *out_ = account;
  QDialog::accept();
}

CAdminDialog::CAdminDialog(std::unique_ptr<AccountAdministration> accounts, QWidget* parent)
    : QDialog(parent), accounts_(std::move(accounts)) {
  setObjectName("9021");
  setWindowTitle(Text(kAdminCaption));
  list_ = Named(new QTreeWidget(this), 9032);
  list_->setColumnCount(2);
  list_->setHeaderLabels({Text(kColumnUser), Text(kColumnComment)});
  list_->setRootIsDecorated(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setIconSize(QSize(16, 16));
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->setMinimumSize(420, 220);
  list_->header()->resizeSection(0, 420 / 3);
  list_->header()->setStretchLastSection(true);  // the comment takes the other two thirds
  auto* add = Named(new QPushButton(Text(kAdd), this), 9033);
  delete_ = Named(new QPushButton(Text(kDelete), this), IDABORT);
  auto* close = Named(new QPushButton(Text(kClose), this), IDCANCEL);
  connect(add, &QPushButton::clicked, this, [this] { Add(); });
  connect(delete_, &QPushButton::clicked, this, [this] { Delete(); });
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateDeleteButton(); });
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { OpenContextMenu(at); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(add);
  buttons->addWidget(delete_);
  buttons->addStretch(1);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(buttons);
  Fill();
}

void CAdminDialog::Fill() {
  delete_->setEnabled(false);
  list_->clear();
  QIcon administrator(Image(kIconAdministrator)), account(Image(kIconAccount));
  for (const _PWDTBL& record : accounts_->Accounts()) {
    auto* row = new QTreeWidgetItem(list_);
    row->setText(0, QStringOf(record.user, PWD_USER_UNITS));
    row->setText(1, record.admin ? Text(kAdministratorText) : QStringOf(record.comment, PWD_COMMENT_UNITS));
    row->setIcon(0, record.admin ? administrator : account);
    row->setData(0, Qt::UserRole, QByteArray(reinterpret_cast<const char*>(&record), sizeof record));
  }
}

const _PWDTBL* CAdminDialog::Selected() const {
  QList<QTreeWidgetItem*> rows = list_->selectedItems();
  if (rows.isEmpty()) return nullptr;
  int index = list_->indexOfTopLevelItem(rows.front());
  const auto& accounts = accounts_->Accounts();
  return index >= 0 && static_cast<size_t>(index) < accounts.size() ? &accounts[static_cast<size_t>(index)] : nullptr;
}

void CAdminDialog::UpdateDeleteButton() {
  const _PWDTBL* selected = Selected();
  delete_->setEnabled(selected && AccountAdministration::Deletable(*selected));
}

QMenu* CAdminDialog::OpenContextMenu(const QPoint& position) {
  const _PWDTBL* selected = Selected();
  auto* menu = Named(new QMenu(this), 9032);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QAction* add = menu->addAction(Text(kAdd), this, [this] { Add(); });
  QAction* remove = menu->addAction(Text(kDelete), this, [this] { Delete(); });
  QAction* makeAdmin = menu->addAction(Text(kMakeAdmin), this, [this] { MakeAdministrator(); });
  add->setObjectName(QString::number(kMenuAdd));
  remove->setObjectName(QString::number(kMenuDelete));
  makeAdmin->setObjectName(QString::number(kMenuMakeAdmin));
  bool deletable = selected && AccountAdministration::Deletable(*selected);
  add->setEnabled(!selected);
  remove->setEnabled(deletable);
  makeAdmin->setEnabled(deletable);
  // The administrator's row never gets an enabled Delete button.
  delete_->setEnabled(deletable);
  menu->popup(list_->viewport()->mapToGlobal(position));
  return menu;
}

void CAdminDialog::Add() {
  _PWDTBL account;
  std::memset(&account, 0, sizeof account);
  CAdminAddDialog add(CAdminAddDialog::Mode::kAdd, accounts_->Accounts(), &account, nullptr, this);
  if (add.exec() != QDialog::Accepted) return;
  accounts_->Add(&account);
  Fill();
}

void CAdminDialog::Delete() {
  const _PWDTBL* selected = Selected();
  if (!selected) return;
  _PWDTBL account = *selected;
  if (Message(this, Text(kConfirmDelete), u"Warning", MB_YESNO | MB_ICONQUESTION) != IDYES) {
    delete_->setEnabled(false);
    return;
  }
  if (UINT message = accounts_->Delete(account)) {
    Message(this, Text(message), u"Error", MB_OK | MB_ICONERROR);
    delete_->setEnabled(false);
    return;
  }
  Fill();
}

void CAdminDialog::MakeAdministrator() {
  const _PWDTBL* selected = Selected();
  const _PWDTBL* administrator = accounts_->Administrator();
  if (!selected || selected->admin || !administrator) return;
  _PWDTBL account = *selected;
  std::u16string from = FieldText(administrator->user, PWD_USER_UNITS), to = FieldText(account.user, PWD_USER_UNITS);
  QString question = Format(kConfirmRole, from.c_str(), to.c_str());
  std::u16string caption = TextW(kRoleCaption);
  if (Message(this, question, caption.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES) return;
  accounts_->MakeAdministrator(account);
  Fill();
}

void CAdminDialog::done(int) { QDialog::done(accounts_->Unlocked() == 0 ? QDialog::Accepted : QDialog::Rejected); }

}  // namespace nb::dialogs
