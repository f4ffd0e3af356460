// The lock object's messages and its language resource module.
#include "messages.h"

#include <cstdarg>
#include <mutex>

#include "NBUtil.h"
#include "nb/text.h"

namespace vault {

namespace {

constexpr const char16_t* kModuleName = u"VAULT";
constexpr const char16_t* kCaption = u"Error";
constexpr int kTextUnits = 1024;

}  // namespace

MessageChoice MessageForCode(int code) {
  switch (code) {
    case -3001: return {1, false};
    case -3002: return {2, true};
    case -3003: return {3, true};
    case -3004: return {4, true};
    case -3005: return {5, true};
    case -3006: return {6, true};
    case -3007: return {12, true};
    case -3008: return {11, true};
    case -3009: return {17, true};
    case -3010: return {13, false};
    case -3011: return {14, false};
    case -3012: return {15, false};
    case -3013: return {16, false};
    default: return {kMsgOtherFailure, true};
  }
}

std::string ConversionsOf(std::u16string_view format) {
  std::string conversions;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') continue;
    if (++i == format.size()) return conversions + '%';  // a lone '%' at the end
    if (format[i] == u'%') continue;
    while (i < format.size() && std::u16string_view(u"-+ #0123456789.hlwIL*").find(format[i]) != std::u16string_view::npos) {
      if (format[i] == u'*') conversions += '*';  // takes a value of its own
      ++i;
    }
    if (i == format.size()) return conversions + '%';
    conversions += format[i] < 0x80 ? static_cast<char>(format[i]) : '?';
  }
  return conversions;
}

HMODULE LoadLanguageModule(std::u16string_view folder, std::u16string_view code) {
  std::u16string name = std::u16string(kModuleName) + u"." + std::u16string(code);
  if (!folder.empty()) name = std::u16string(folder) + u"\\" + name;
  return LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

HMODULE LanguageModule() {
  // Loaded on first use rather than when the library is loaded: a program connects to its
  // machine (and so can read the installation's language) only once it runs. A bare name
  // is looked for in the folder of the program's executable.
  static HMODULE module = [] {
    LanguageInfo language;
    GetDefaultLang(&language);
    return LoadLanguageModule(u"", language.code);
  }();
  return module;
}

std::u16string MessageText(HMODULE module, UINT number) {
  if (!module) return {};
  WCHAR text[kTextUnits];
  int length = LoadStringW(module, number, text, kTextUnits);
  return length > 0 ? std::u16string(text, static_cast<size_t>(length)) : std::u16string();
}

void ShowMessage(UINT number, const char* conversions, ...) {
  std::u16string format = MessageText(LanguageModule(), number);
  if (ConversionsOf(format) != conversions) {
    ShowError(format);  // a text that does not take these values is shown as it is
    return;
  }
  va_list values;
  va_start(values, conversions);
  std::u16string text = nb::text::FormatWideV(format.c_str(), values);
  va_end(values);
  ShowError(text);
}

void ShowError(const std::u16string& text) { MessageBoxW(nullptr, text.c_str(), kCaption, MB_OK | MB_ICONERROR); }

}  // namespace vault
