// The console program.
#include "nbadmin_app.h"

#include <QApplication>
#include <QFileInfo>

#include "NBUtil.h"
#include "module_images.h"
#include "nb/text.h"
#include "nb/win/module_names.h"
#include "nb/win/qt_message_box.h"
#include "nb/win/qt_windows.h"

using namespace nb::console;

namespace {

// The built-in texts and pictures: the English module beside the program.
constexpr const char16_t* kBuiltinLanguage = u"EN";
constexpr const char16_t* kHelpName = u"Nimbra";
constexpr UINT kProgramIcon = 128;

std::u16string FolderOf(const std::u16string& path) {
  size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? std::u16string() : path.substr(0, separator);
}

bool FileExists(const std::u16string& path) {
  DWORD error = 0;
  std::optional<std::string> host = nb::win::HostPathOfModuleFile(path, &error);
  return host && QFileInfo(QString::fromStdString(*host)).isFile();
}

HMODULE LoadBuiltin(const std::u16string& executablePath) {
  return LoadLibraryW(ResourceModulePath(executablePath, kBuiltinLanguage).c_str());
}

}  // namespace

CNBAdminApp::CNBAdminApp(std::u16string executablePath)
    : executablePath_(executablePath.empty() ? ExecutablePath() : std::move(executablePath)),
      builtin_{LoadBuiltin(executablePath_)},
      profile_([this] { return session_.Title(); }),
      session_(profile_, host_, builtin_.handle ? ModuleStrings(builtin_.handle) : StringLoader()) {}

CNBAdminApp::~CNBAdminApp() {
  watcher_.reset();
  beacon_.reset();
  frame_.reset();
  doc_.reset();
}

std::u16string CNBAdminApp::ExecutablePath() const {
  WCHAR name[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return {};
  return std::u16string(name, length);
}

HMODULE CNBAdminApp::Resources() const {
  return session_.ResourceModule() ? session_.ResourceModule() : builtin_.handle;
}

std::u16string CNBAdminApp::HelpFile(const std::u16string& executablePath) const {
  // "<folder>\Nimbra.<language>.html", the English one when the language has none.
  LanguageInfo language{};
  GetDefaultLang(&language);
  std::u16string folder = FolderOf(executablePath);
  std::u16string path = nb::text::FormatWide(u"%s\\%s.%s.html", folder.c_str(), kHelpName, language.code);
  if (!session_.ResourceModule() || !FileExists(path))
    path = nb::text::FormatWide(u"%s\\%s.%s.html", folder.c_str(), kHelpName, kBuiltinLanguage);
  return path;
}

bool CNBAdminApp::InitInstance() {
  nb::win::UseQtMessageBoxes();
  outcome_ = session_.Start(executablePath_);
  if (outcome_ != StartOutcome::kStarted) return false;
  QCoreApplication::setOrganizationName(kProfileOrganization);
  QCoreApplication::setApplicationName(QString::fromStdU16String(session_.Title()));
  account_ = session_.Account();
  QPixmap icon = ModuleImage(Resources(), kProgramIcon, RT_ICON);
  if (!icon.isNull()) QApplication::setWindowIcon(icon);  // also the dialogs' and boxes'

  doc_ = std::make_unique<CNBAdminDoc>();
  helpPath_ = HelpFile(executablePath_);
  FrameContext context;
  HMODULE module = Resources();
  context.strings = module == session_.ResourceModule() ? session_.Strings() : ModuleStrings(module);
  context.module = module;
  context.title = session_.Title();
  context.helpPath = helpPath_;
  context.session = &session_;
  context.profile = &profile_;
  context.doc = doc_.get();
  context.account = &account_;
  context.userDbPath = session_.UserDbPath();
  context.brand = session_.Brand();
  frame_ = std::make_unique<CMainFrame>(std::move(context));
  frame_->setWindowTitle(QString::fromStdU16String(session_.Title()));
  frame_->PlaceAndShow();
  beacon_ = std::make_unique<nb::win::WindowBeacon>(frame_.get(), session_.Title());

  // Each signal of the administrator event becomes a reload on the user-interface thread.
  CMainFrame* frame = frame_.get();
  watcher_ = std::make_unique<NotificationWatcher>([frame] { emit frame->updateInfo(); });
  if (!watcher_->Start()) watcher_.reset();  // the console works without background refresh
  return true;
}

int CNBAdminApp::Run() {
  if (!InitInstance()) return 1;
  QApplication::setQuitOnLastWindowClosed(true);
  return QApplication::exec();
}
