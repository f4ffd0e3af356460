// The command line's answers to the libraries' message boxes.
#include "presenter.h"

#include <algorithm>

#include "nb/text.h"

namespace nb::nbctl {

int CommandLineAnswer(UINT type) {
  std::vector<int> buttons = nb::win::ButtonIds(type & MB_TYPEMASK);
  for (int wanted : {IDYES, IDOK}) {
    if (std::find(buttons.begin(), buttons.end(), wanted) != buttons.end()) return wanted;
  }
  return nb::win::DecliningAnswer(type & MB_TYPEMASK);
}

int CommandLinePresenter::Present(const nb::win::MessageBoxRequest& request) {
  UINT buttons = request.Buttons();
  // Questions are the confirmations of commands the user already gave; the rest is news.
  if (buttons != MB_YESNO && buttons != MB_YESNOCANCEL && !request.text.empty()) {
    std::string text = nb::text::Utf16ToUtf8(request.text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::lock_guard lock(mutex_);
    texts_.push_back(std::move(text));
  }
  return CommandLineAnswer(request.type);
}

std::vector<std::string> CommandLinePresenter::Take() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  texts.swap(texts_);
  return texts;
}

}  // namespace nb::nbctl
