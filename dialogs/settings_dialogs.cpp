// The defaults dialog and the splash screen.
#include "settings_dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include <windows.h>

#include "NBUtil.h"
#include "library.h"

namespace nb::dialogs {

namespace {

constexpr UINT kSaveFailed = 20;
constexpr UINT kCancel = 105, kModeLabel = 134, kTimeoutLabel = 135, kCaption = 170, kSave = 171, kSplashCaption = 180;
constexpr UINT kSplashImage = 9054;
constexpr int kSplashTimer = 1025;
constexpr int kSplashMilliseconds = 500;
constexpr LANGID kSimplifiedChinese = 2052;

}  // namespace

void LoadDefaults(int* mode, int* timeout) {
  int storedMode = 1, storedTimeout = 0;
  if (!GetDefOption(&storedMode, &storedTimeout)) storedMode = 1, storedTimeout = 0;
  *mode = storedMode == 4 ? 4 : 1;
  *timeout = std::clamp(storedTimeout, 0, DEFOPTION_TIMEOUT_MAX);
}

DWORD SaveDefaults(int mode, int timeout) {
  SetLastError(ERROR_SUCCESS);
  if (SetDefOption(mode, timeout)) return 0;
  DWORD error = GetLastError();
  return error ? error : ERROR_GEN_FAILURE;
}

CDefValueDialog::CDefValueDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("9016");
  setWindowTitle(Text(kCaption));
  mode_ = Named(new QComboBox(this), 1017);
  FillModeList(mode_);
  timeout_ = MakeTimeoutSpin(this, 1013, 1011);
  int mode, timeout;
  LoadDefaults(&mode, &timeout);
  SelectMode(mode_, mode);
  timeout_->setValue(timeout);
  auto* buttons = new QDialogButtonBox(this);
  save_ = Named(buttons->addButton(Text(kSave), QDialogButtonBox::ActionRole), 9024);
  Named(buttons->addButton(Text(kCancel), QDialogButtonBox::RejectRole), IDCANCEL);
  save_->setEnabled(false);
  connect(save_, &QPushButton::clicked, this, [this] { Save(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto enable = [this] { save_->setEnabled(true); };
  connect(mode_, &QComboBox::currentIndexChanged, this, enable);
  connect(timeout_, &QSpinBox::valueChanged, this, enable);
  if (auto* edit = timeout_->findChild<QLineEdit*>("1011")) connect(edit, &QLineEdit::textEdited, this, enable);
  auto* form = new QFormLayout;
  form->addRow(Text(kModeLabel), mode_);
  form->addRow(Text(kTimeoutLabel), timeout_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CDefValueDialog::Save() {
  DWORD error = SaveDefaults(mode_->currentData().toInt(), timeout_->value());
  if (!error) {
    accept();
    return;
  }
  WCHAR text[1024] = {};
  SysMessage(error, text);
  Message(nullptr, Format(kSaveFailed, static_cast<int>(error), text), u"Error", MB_OK | MB_ICONERROR);
}

CSplashDialog::CSplashDialog(QWidget* parent) : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("9054");
  setWindowTitle(Text(kSplashCaption));
  auto* image = new QLabel(this);
  image->setPixmap(Image(kSplashImage));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(image);
  auto* timer = Named(new QTimer(this), kSplashTimer);
  timer->setSingleShot(true);
  timer->setInterval(kSplashMilliseconds);
  connect(timer, &QTimer::timeout, this, [this, timer] {
    timer->stop();
    accept();
  });
  timer->start();
}

bool ShowsSplash(int brand) { return brand == 2 && GetSystemDefaultLangID() == kSimplifiedChinese; }

}  // namespace nb::dialogs
