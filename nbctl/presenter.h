// Message boxes of the libraries on the command line: questions are answered Yes (the
// user asked for the command on the command line), and the texts of error and warning
// boxes are kept, so that a failed command can say in one line what the library said.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "nb/win/message_box.h"

namespace nb::nbctl {

class CommandLinePresenter final : public nb::win::MessageBoxPresenter {
 public:
  int Present(const nb::win::MessageBoxRequest& request) override;
  // The texts of the boxes shown since the last call, oldest first, as UTF-8.
  std::vector<std::string> Take();

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

// The answer of a box on the command line: Yes where the box has it, else OK, else the
// declining answer.
int CommandLineAnswer(UINT type);

}  // namespace nb::nbctl
