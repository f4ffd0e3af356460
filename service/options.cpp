// The option parser of the command line.
#include <cstdio>
#include <string>

#include <windows.h>

#include "nb/text.h"
#include "service.h"

namespace {

const WCHAR* FindLetter(LPCWSTR letters, WCHAR letter) {
  for (const WCHAR* p = letters; *p; ++p) {
    if (*p == letter) return p;
  }
  return nullptr;
}

void PrintMessage(LPCWSTR format, LPCWSTR program, WCHAR letter) {
  std::string text = nb::text::Utf16ToUtf8(nb::text::FormatWide(format, program ? program : u"", letter));
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int GetOption(OptionState& state, int argc, WCHAR* const* argv, LPCWSTR letters) {
  if (state.index >= argc || !argv[state.index]) return -1;
  const WCHAR* current = argv[state.index];
  if (state.position == 1) {
    if (current[0] != u'-' && current[0] != u'/') return -1;
    if (current[1] == u'\0') return -1;
    if ((current[1] == u'-' || current[1] == u'/') && current[2] == u'\0') {
      ++state.index;
      return -1;
    }
  }
  WCHAR letter = current[state.position];
  state.letter = letter;
  const bool quiet = !state.printErrors || letters[0] == u':';
  const WCHAR* found = letter == u':' ? nullptr : FindLetter(letters, letter);
  int result = letter;
  if (!found) {
    if (!quiet) PrintMessage(u"%s:Illegal option -- %c\n", argv[0], letter);
    result = u'?';
  } else if (found[1] == u':') {
    // The rest of this argument, or the next one.
    if (current[state.position + 1] != u'\0') {
      state.argument = &current[state.position + 1];
      ++state.index;
    } else if (++state.index >= argc || !argv[state.index]) {
      state.position = 1;
      state.argument = nullptr;
      if (letters[0] == u':') return u':';
      if (!quiet) PrintMessage(u"%s:Option requires an arguments -- %c\n", argv[0], letter);
      return u'?';
    } else {
      state.argument = argv[state.index++];
    }
    state.position = 1;
    return letter;
  }
  state.argument = nullptr;
  if (current[state.position + 1] == u'\0') {
    ++state.index;
    state.position = 1;
  } else {
    ++state.position;
  }
  return result;
}
