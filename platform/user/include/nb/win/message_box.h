// Who shows MessageBoxW's boxes in this process: a presenter. The default one prints the
// box on standard error and declines it (nobody is there to choose); a GUI library names
// one that shows a real box while its application runs, and tests install a scripted one
// that records every box and answers from a list.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

namespace nb::win {

struct MessageBoxRequest {
  HWND owner = nullptr;
  std::u16string text;
  std::u16string caption;
  UINT type = MB_OK;

  UINT Buttons() const { return type & MB_TYPEMASK; }
  UINT Icon() const { return type & MB_ICONMASK; }
  // 0 for the first button, 1 for the second ...
  UINT DefaultButton() const { return (type & MB_DEFMASK) >> 8; }
};

class MessageBoxPresenter {
 public:
  virtual ~MessageBoxPresenter() = default;
  // Shows the box and returns the id of the button chosen (IDOK ...). Called on the
  // thread that called MessageBoxW; may be called from several threads at once.
  virtual int Present(const MessageBoxRequest& request) = 0;
  // Whether it can show a box now (a GUI presenter: while its application runs).
  virtual bool CanPresent() const { return true; }
};

// The ids of a button set, in the order the box shows them; empty for no such set.
std::vector<int> ButtonIds(UINT buttons);
// The answer when the box is closed without a choice: Cancel where there is one, else No,
// else Abort, else OK.
int DecliningAnswer(UINT buttons);

// Installs the presenter of this process (null: the standard-error presenter) and returns
// the one installed before, once the boxes it is showing have closed. The presenter must
// outlive its installation and must not install another from within Present.
MessageBoxPresenter* SetMessageBoxPresenter(MessageBoxPresenter* presenter);

// Names the GUI presenter of this process (null: none) and returns the one named before.
// MessageBoxW takes it while no presenter is installed and it can present; otherwise the
// standard-error presenter. It must outlive its naming.
MessageBoxPresenter* SetGuiMessageBoxPresenter(MessageBoxPresenter* presenter);

// Prints "<caption>: <text>" on standard error and declines the box.
class StandardErrorPresenter final : public MessageBoxPresenter {
 public:
  int Present(const MessageBoxRequest& request) override;
};

// Installs a presenter for the life of a scope.
class ScopedMessageBoxPresenter {
 public:
  explicit ScopedMessageBoxPresenter(MessageBoxPresenter& presenter) : previous_(SetMessageBoxPresenter(&presenter)) {}
  ~ScopedMessageBoxPresenter() { SetMessageBoxPresenter(previous_); }
  ScopedMessageBoxPresenter(const ScopedMessageBoxPresenter&) = delete;
  ScopedMessageBoxPresenter& operator=(const ScopedMessageBoxPresenter&) = delete;

 private:
  MessageBoxPresenter* previous_;
};

// Records every box and answers with the scripted ids in order; once they are used up,
// each box is declined. An answer that is not a button of the box declines it too.
class ScriptedMessageBoxes final : public MessageBoxPresenter {
 public:
  ScriptedMessageBoxes() : installed_(*this) {}
  void Answer(int id);
  std::vector<MessageBoxRequest> Shown() const;
  int Present(const MessageBoxRequest& request) override;

 private:
  mutable std::mutex mutex_;
  std::deque<int> answers_;
  std::vector<MessageBoxRequest> shown_;
  ScopedMessageBoxPresenter installed_;
};

}  // namespace nb::win
