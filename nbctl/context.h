// What every nbctl command works with: the decoded command line, the output stream, the
// language texts, the lock object and the logged-in account; and the one way a command
// fails (one line on standard error, an exit code per kind of failure).
#pragma once

#include <cstdio>
#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "exit_codes.h"
#include "options.h"
#include "output.h"
#include "presenter.h"

namespace nb::nbctl {

struct Context {
  Context(const Options& decoded, FILE* output, CommandLinePresenter& boxes)
      : options(decoded), out(output), presenter(boxes) {}

  const Options& options;
  FILE* out;
  CommandLinePresenter& presenter;
  TextLoader consoleTexts;  // the console's module (NBAdmin.<language>)
  TextLoader dialogTexts;   // the dialog library's module (NBMgrSDK.<language>)
  CVAULTObj vault;
  _PWDTBL account{};        // the logged-in account
  std::u16string userDbPath;

  // Prints "nbctl: <message>" on standard error, followed by what the libraries said in
  // their message boxes meanwhile, and returns `code`.
  int Fail(int code, const std::string& message);
  // The same with the text of a dialog-library message number (formatted with `argument`
  // where it takes one).
  int Refuse(int code, UINT dialogMessage, const std::u16string& argument = u"");
  // The text of a dialog-library message: the module's, or the built-in English one.
  std::string DialogText(UINT number, const std::u16string& argument = u"") const;
  // Writes UTF-8 text to the output.
  void Print(const std::string& text) const;
  std::u16string AccountName() const;
};

// The built-in English text of the dialog library's messages nbctl repeats; empty for
// other numbers.
std::u16string BuiltInDialogText(UINT number);

}  // namespace nb::nbctl
