// MessageBoxW through the process's presenter, and the presenters every process has.
#include "nb/win/message_box.h"

#include <algorithm>
#include <cstdio>
#include <shared_mutex>
#include <utility>

#include "nb/text.h"

namespace nb::win {

namespace {

StandardErrorPresenter standardError;
// Boxes being shown hold the lock shared, so a presenter is never replaced (and then
// destroyed by its owner) while one of its boxes is open.
std::shared_mutex presenterLock;
MessageBoxPresenter* installed = nullptr;
MessageBoxPresenter* gui = nullptr;

}  // namespace

std::vector<int> ButtonIds(UINT buttons) {
  switch (buttons) {
    case MB_OK:
      return {IDOK};
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
      return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
      return {};
  }
}

int DecliningAnswer(UINT buttons) {
  std::vector<int> ids = ButtonIds(buttons);
  for (int declining : {IDCANCEL, IDNO, IDABORT}) {
    if (std::find(ids.begin(), ids.end(), declining) != ids.end()) return declining;
  }
  return IDOK;
}

MessageBoxPresenter* SetMessageBoxPresenter(MessageBoxPresenter* presenter) {
  std::unique_lock lock(presenterLock);
  return std::exchange(installed, presenter);
}

MessageBoxPresenter* SetGuiMessageBoxPresenter(MessageBoxPresenter* presenter) {
  std::unique_lock lock(presenterLock);
  return std::exchange(gui, presenter);
}

int StandardErrorPresenter::Present(const MessageBoxRequest& request) {
  std::string line = nb::text::Utf16ToUtf8(request.caption) + ": " + nb::text::Utf16ToUtf8(request.text) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  return DecliningAnswer(request.Buttons());
}

void ScriptedMessageBoxes::Answer(int id) {
  std::lock_guard lock(mutex_);
  answers_.push_back(id);
}

std::vector<MessageBoxRequest> ScriptedMessageBoxes::Shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

int ScriptedMessageBoxes::Present(const MessageBoxRequest& request) {
  std::lock_guard lock(mutex_);
  shown_.push_back(request);
  if (answers_.empty()) return DecliningAnswer(request.Buttons());
  int answer = answers_.front();
  answers_.pop_front();
  std::vector<int> ids = ButtonIds(request.Buttons());
  return std::find(ids.begin(), ids.end(), answer) != ids.end() ? answer : DecliningAnswer(request.Buttons());
}

}  // namespace nb::win

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  if (nb::win::ButtonIds(type & MB_TYPEMASK).empty()) {
    SetLastError(ERROR_INVALID_MSGBOX_STYLE);
    return 0;
  }
  nb::win::MessageBoxRequest request;
  request.owner = owner;
  request.text = text ? text : u"";
  request.caption = caption ? caption : u"Error";
  request.type = type;
  std::shared_lock lock(nb::win::presenterLock);
  nb::win::MessageBoxPresenter* presenter = nb::win::installed;
  if (!presenter && nb::win::gui && nb::win::gui->CanPresent()) presenter = nb::win::gui;
  return (presenter ? *presenter : static_cast<nb::win::MessageBoxPresenter&>(nb::win::standardError)).Present(request);
}
