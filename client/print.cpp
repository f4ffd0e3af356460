// Standard output of the client library.
#include "print.h"

#include <cstdarg>
#include <cstdio>

#include "nb/text.h"

namespace nbclient {

void Print(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = nb::text::Utf16ToUtf8(nb::text::FormatWideV(format, args));
  va_end(args);
  std::fwrite(line.data(), 1, line.size(), stdout);
}

}  // namespace nbclient
