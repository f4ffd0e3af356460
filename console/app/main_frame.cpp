// The console's main window.
#include "main_frame.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>

#include <htmlhelp.h>

#include "NBMgrSDK.h"
#include "about_dialog.h"
#include "console_ids.h"
#include "menus.h"
#include "module_images.h"
#include "nb/text.h"
#include "nb/win/qt_message_box.h"
#include "nbadmin_doc.h"
#include "nbadmin_view.h"
#include "startup.h"
#include "toolbar_ex.h"

using namespace nb::console;

namespace {

constexpr UINT kProgramIcon = 128;
constexpr UINT kToolBarSmall = 145, kToolBarSmallDisabled = 144, kToolBarLarge = 147, kToolBarLargeDisabled = 146;
constexpr int kIconSize = 32;  // SM_CXICON, SM_CYICON
constexpr UINT kLockCommands[] = {kCmdLock, kCmdUnlock, kCmdProperties, kCmdResume, kCmdPause, kCmdHidden,
                                  kCmdReadOnly};

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

}  // namespace

CMainFrame::CMainFrame(FrameContext context, QWidget* parent) : QMainWindow(parent), context_(std::move(context)) {
  setObjectName("CMainFrame");
  // The caption shows the title only (no document name).
  setWindowTitle(Q(context_.title));
  QPixmap icon = ModuleImage(context_.module, kProgramIcon, RT_ICON);
  if (!icon.isNull()) setWindowIcon(icon);
  connect(this, &CMainFrame::updateInfo, this, &CMainFrame::OnUpdateInfo, Qt::QueuedConnection);

  viewMenu_ = BuildMenuBar(menuBar(), context_.strings, [this](UINT id) { return MakeCommand(id); });
  auto* modes = new QActionGroup(this);
  modes->setExclusive(true);
  for (UINT id : {kCmdTitles, kCmdIcons, kCmdList, kCmdDetails}) {
    actions_[id]->setCheckable(true);
    modes->addAction(actions_[id]);
  }

  CreateToolBar();
  CreateStatusBar();

  LockListConfig config;
  if (context_.account) {
    const WCHAR* user = context_.account->user;
    config.account.assign(user, nb::text::Utf16Length(user, PWD_USER_UNITS));
  }
  config.addDialog = [](_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* out) {
    return AddDialog(locks, count, out);
  };
  config.propertyDialog = [](_LCK_INFORMAION* lock) { return PropertyDialog(lock); };
  config.strings = context_.strings;
  config.caption = context_.title;
  config.owner = nb::win::WindowHandleOf(this);
  view_ = new CNBAdminView(context_.doc->Vault(), std::move(config), context_.module, this);
  setCentralWidget(view_);
  connect(view_, &CNBAdminView::selectionChanged, this, &CMainFrame::UpdateCommands);
  connect(view_, &CNBAdminView::promptChanged, this, [this](const QString& prompt) {
    if (prompt.isEmpty()) statusBar()->clearMessage();
    else statusBar()->showMessage(prompt);
  });
  actions_[kCmdDetails]->setChecked(true);
  UpdateCommands();
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::MakeCommand(UINT id) {
  auto found = actions_.find(id);
  if (found != actions_.end()) return found->second;
  QAction* action = MakeAction(this, context_.strings, id);
  action->setShortcutContext(Qt::WindowShortcut);
  connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
  actions_[id] = action;
  return action;
}

QAction* CMainFrame::Action(UINT id) const {
  auto found = actions_.find(id);
  return found == actions_.end() ? nullptr : found->second;
}

void CMainFrame::CreateToolBar() {
  // Toolbar 128 with its images (bitmaps 145/144 at 16 pixels, 147/146 at 24), the View
  // button opening the View menu, labels below the icons.
  auto* toolBar = new CToolBarEx(this, context_.strings);
  toolBar->SetActionLookup([this](UINT id) { return MakeCommand(id); });
  toolBar->SetButtons(kMainToolBarButtons);
  toolBar->LoadImages(context_.module, kIconSmall, kToolBarSmall, kToolBarSmallDisabled, 0, 16);
  toolBar->LoadImages(context_.module, kIconLarge, kToolBarLarge, kToolBarLargeDisabled, 0, 24);
  toolBar->AddDropDown(kCmdViewMenu, viewMenu_, false);
  toolBar->SetPromptHandler([this](const QString& prompt) {
    if (prompt.isEmpty()) statusBar()->clearMessage();
    else statusBar()->showMessage(prompt);
  });
  // The face of the menu font, or the module's when there is none, at the module's size
  // (tenths of a point).
  QString face = QApplication::font("QMenu").family();
  if (face.isEmpty()) face = Text(context_.strings, kStrToolbarFont);
  QFont font(face);
  bool sized = false;
  int tenths = Text(context_.strings, kStrToolbarFontSize).toInt(&sized);
  if (sized && tenths > 0) font.setPointSizeF(tenths / 10.0);
  toolBar->setFont(font);
  toolBar->SetTextOptions(0);
  setDockNestingEnabled(true);
  addToolBar(Qt::TopToolBarArea, toolBar);
  toolBar_ = toolBar;
}

void CMainFrame::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  message_ = new QLabel(Text(context_.strings, kStrIdle));
  message_->setObjectName("MessagePane");
  bar->addWidget(message_, 1);
  const std::pair<int, const char*> indicators[] = {
      {Qt::Key_CapsLock, "CAP"}, {Qt::Key_NumLock, "NUM"}, {Qt::Key_ScrollLock, "SCRL"}};
  for (const auto& indicator : indicators) {
    auto* label = new QLabel(indicator.second);
    label->setObjectName(indicator.second);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    label->setEnabled(false);
    bar->addPermanentWidget(label);
    indicators_[indicator.first] = label;
  }
}

void CMainFrame::keyPressEvent(QKeyEvent* event) {
  // The lock keys' state is not reported by every window system: follow their presses.
  auto found = indicators_.find(event->key());
  if (found != indicators_.end()) {
    bool& on = lockStates_[event->key()];
    on = !on;
    found->second->setEnabled(on);
  }
  QMainWindow::keyPressEvent(event);
}

void CMainFrame::UpdateCommands() {
  std::vector<RowState> states = view_ ? view_->SelectionStates() : std::vector<RowState>();
  for (UINT id : kLockCommands) {
    if (QAction* action = Action(id)) action->setEnabled(CommandEnabled(id, states));
  }
  if (QAction* admin = Action(kCmdAdministrator)) admin->setEnabled(context_.account && context_.account->admin != 0);
  if (view_) {
    if (QAction* mode = Action(view_->ViewMode())) mode->setChecked(true);
  }
}

void CMainFrame::OnCommand(UINT id) {
  switch (id) {
    case kCmdChangePassword: ChangePassword(); break;
    case kCmdRefresh: view_->Reload(true); break;
    case kCmdDefault: DefValueDialog(); break;
    case kCmdAdministrator: Administrator(); break;
    case kCmdExit: close(); break;
    case kCmdHelpAbout: About(); break;
    case kCmdHelpContents: HelpContents(); break;
    case kCmdTitles:
    case kCmdIcons:
    case kCmdList:
    case kCmdDetails:
      view_->SetViewMode(id);
      break;
    default:
      // The lock commands act only when the rules enable them (a shortcut such as Delete
      // reaches here also when its action is disabled elsewhere).
      if (QAction* action = Action(id); action && action->isEnabled()) view_->Execute(id);
      break;
  }
  UpdateCommands();
}

void CMainFrame::OnUpdateInfo() {
  CVAULTObj::Print(u"NBADMIN", u"Start UpdateInfo");
  view_->Reload(false);
  CVAULTObj::Print(u"NBADMIN", u"END UpdateInfo");
}

void CMainFrame::ChangePassword() {
  if (!context_.account) return;
  CMdb users(context_.userDbPath.c_str(), false);
  ChangePwdDialog(context_.account, &users);
}

void CMainFrame::Administrator() {
  if (!context_.account || !context_.account->admin) return;
  int changed;
  {
    LockList::BusyScope busy(view_->List());
    std::vector<_LCK_INFORMAION> locks = view_->List().Array();
    CMdb users(context_.userDbPath.c_str(), false);
    CMdb lockDb(context_.doc->LockDbPath(), false);
    changed = AdminDialog(locks.data(), static_cast<int>(locks.size()), context_.account, &users, &lockDb,
                          context_.brand);
  }
  if (changed == 0) view_->Reload(true);
}

void CMainFrame::About() {
  CAboutDlg about(context_.strings, context_.brand, ModuleImage(context_.module, kProgramIcon, RT_ICON)
                                                        .scaled(kIconSize, kIconSize, Qt::KeepAspectRatio,
                                                                Qt::SmoothTransformation),
                  this);
  about.exec();
}

void CMainFrame::HelpContents() {
  HtmlHelpW(nb::win::WindowHandleOf(this), context_.helpPath.c_str(), HH_DISPLAY_TOPIC, 0);
}

FramePlacement CMainFrame::Placement() const {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  QSize size = screen ? screen->geometry().size() : QSize(1024, 768);
  Rect workArea{work.left(), work.top(), work.left() + work.width(), work.top() + work.height()};
  SavedPlacement saved = context_.profile ? ReadPlacement(*context_.profile) : SavedPlacement{};
  FramePlacement placement =
      ComputePlacement(saved, workArea, Extent{size.width(), size.height()}, Extent{kIconSize, kIconSize});
  // A rectangle without area (a damaged profile) would open a window nobody can see: take
  // the default instead. A window closed while minimised opens normally, not as an icon.
  if (!placement.defaultPosition && (placement.width <= 0 || placement.height <= 0)) placement = FramePlacement{};
  if (placement.show != kShowMaximized) placement.show = kShowNormal;
  return placement;
}

void CMainFrame::PlaceAndShow() {
  FramePlacement placement = Placement();
  if (placement.defaultPosition) {
    resize(placement.width, placement.height);
  } else {
    setGeometry(placement.x, placement.y, placement.width, placement.height);
  }
  switch (placement.show) {
    case kShowMaximized: showMaximized(); break;
    case kShowMinimized: showMinimized(); break;
    default: show(); break;
  }
}

int CMainFrame::ShowCommand() const {
  if (isMaximized()) return kShowMaximized;
  if (isMinimized()) return kShowMinimized;
  return kShowNormal;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  QRect normal = isMaximized() || isMinimized() ? normalGeometry() : geometry();
  Rect rect{normal.left(), normal.top(), normal.left() + normal.width(), normal.top() + normal.height()};
  if (context_.session && !context_.session->Close(ShowCommand(), rect)) {
    event->ignore();
    return;
  }
  // The help window goes with the program (it would keep the program running otherwise).
  HtmlHelpW(nullptr, nullptr, HH_CLOSE_ALL, 0);
  event->accept();
}
