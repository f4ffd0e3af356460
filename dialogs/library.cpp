// The library's set-up and the pieces every dialog shares.
#include "library.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>

#include <cstdarg>
#include <memory>
#include <mutex>

#include "NBUtil.h"
#include "nb/text.h"
#include "nb/win/qt_message_box.h"

namespace nb::dialogs {

namespace {

constexpr UINT kApplicationName = 35;
constexpr UINT kModeHidden = 39, kModeReadOnly = 40;
constexpr int kTimeoutMax = DEFOPTION_TIMEOUT_MAX;

std::mutex setUpLock;
bool setUpDone = false;
HMODULE resources = nullptr;
std::u16string language;

QString QStringOf(std::u16string_view text) { return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())); }

// The folder of the program's executable, without the trailing separator.
std::u16string ProgramFolder() {
  WCHAR name[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return {};
  std::u16string path(name, length);
  size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? std::u16string() : path.substr(0, separator);
}

// Loads the module of the default language from `folder`; the caller holds setUpLock.
bool LoadFrom(const std::u16string& folder) {
  if (resources) FreeLibrary(resources);
  resources = nullptr;
  LanguageInfo info{};
  GetDefaultLang(&info);
  language = info.code;
  if (folder.empty()) return false;
  std::u16string path = nb::text::FormatWide(u"%s\\%s.%s", folder.c_str(), u"NBMgrSDK", info.code);
  resources = LoadLibraryW(path.c_str());
  return resources != nullptr;
}

}  // namespace

bool EnsureResources() {
  std::lock_guard lock(setUpLock);
  if (!setUpDone) {
    setUpDone = true;
    LoadFrom(ProgramFolder());
  }
  return resources != nullptr;
}

bool LoadResources(const std::u16string& folder) {
  std::lock_guard lock(setUpLock);
  setUpDone = true;
  return LoadFrom(folder);
}

void UnloadResources() {
  std::lock_guard lock(setUpLock);
  if (resources) FreeLibrary(resources);
  resources = nullptr;
  setUpDone = true;
}

std::u16string ResourceLanguage() {
  std::lock_guard lock(setUpLock);
  return language;
}

std::u16string TextW(UINT id) {
  HMODULE module;
  {
    std::lock_guard lock(setUpLock);
    module = resources;
  }
  if (!module) return {};
  const WCHAR* text = nullptr;
  int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 && text ? std::u16string(text, static_cast<size_t>(length)) : std::u16string();
}

QString Text(UINT id) { return QStringOf(TextW(id)); }

QString Format(UINT id, ...) {
  std::u16string format = TextW(id);
  va_list args;
  va_start(args, id);
  std::u16string text = nb::text::FormatWideV(format.c_str(), args);
  va_end(args);
  return QStringOf(text);
}

QPixmap Image(UINT id) {
  std::lock_guard lock(setUpLock);
  if (!resources) return {};
  for (LPCWSTR type : {RT_ICON, RT_RCDATA}) {
    HRSRC found = FindResourceW(resources, MAKEINTRESOURCEW(id), type);
    if (!found) continue;
    HGLOBAL data = LoadResource(resources, found);
    DWORD size = SizeofResource(resources, found);
    QPixmap image;
    if (data && size && image.loadFromData(static_cast<const uchar*>(LockResource(data)), size)) return image;
  }
  return {};
}

QString ApplicationName() { return Text(kApplicationName); }

int Message(QWidget* owner, const QString& text, const char16_t* caption, UINT type) {
  return MessageBoxW(owner ? nb::win::WindowHandleOf(owner->window()) : nullptr,
                     reinterpret_cast<LPCWSTR>(text.utf16()), caption, type);
}

void FillModeList(QComboBox* list) {
  list->clear();
  list->addItem(Text(kModeHidden), 1);
  list->addItem(Text(kModeReadOnly), 4);
}

void SelectMode(QComboBox* list, int mode) { list->setCurrentIndex(mode == 4 ? 1 : 0); }

QSpinBox* MakeTimeoutSpin(QWidget* parent, int spinId, int editId) {
  auto* spin = Named(new QSpinBox(parent), spinId);
  spin->setRange(0, kTimeoutMax);
  if (editId) {
    if (auto* edit = spin->findChild<QLineEdit*>()) Named(edit, editId);
  }
  return spin;
}

int RunModal(const std::function<int()>& body) {
  std::unique_ptr<QApplication> own;
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "NBMgrSDK";
    static char* argv[] = {name, nullptr};
    own = std::make_unique<QApplication>(argc, argv);
    own->setApplicationName(ApplicationName());
  } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    return 0;  // widgets need a GUI application
  }
  nb::win::UseQtMessageBoxes();
  return body();
}

}  // namespace nb::dialogs
