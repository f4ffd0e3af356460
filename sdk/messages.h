// The lock object's messages: client-library codes as numbered texts of the language
// resource module "VAULT.<language>", shown in boxes captioned "Error".
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

namespace vault {

// Message numbers of the resource module.
inline constexpr UINT kMsgDeviceUnreachable = 1;
inline constexpr UINT kMsgOtherFailure = 7;
inline constexpr UINT kMsgNoMemory = 8;       // system error code, its text
inline constexpr UINT kMsgDriveTable = 9;     // client-library code
inline constexpr UINT kMsgDriverVersion = 10;  // client-library code

// Which message a client-library code (0 or negative) shows, and whether the drive and
// path go with it.
struct MessageChoice {
  UINT number;
  bool withPlace;
};
MessageChoice MessageForCode(int code);

// The conversions a format takes, one letter each ("cs" for "%c:%s"; "%%" takes none);
// formats whose conversions differ from what the caller passes are shown unformatted.
std::string ConversionsOf(std::u16string_view format);

// Loads "<folder>\VAULT.<code>" (an empty folder: the program's) as a resource-only
// module; null when it is missing.
HMODULE LoadLanguageModule(std::u16string_view folder, std::u16string_view code);
// The process's language module: beside the program, in the installation's language,
// loaded on first use (null when missing: the messages then have no text).
HMODULE LanguageModule();

// Text `number` of `module`; empty when there is none.
std::u16string MessageText(HMODULE module, UINT number);

// Fills text `number` of the language module with the values, whose conversions are
// `conversions` ("cs", "ds", "d" or ""), and shows it as an error box.
void ShowMessage(UINT number, const char* conversions, ...);
// Shows `text` in a box captioned "Error" with the error icon.
void ShowError(const std::u16string& text);

}  // namespace vault
