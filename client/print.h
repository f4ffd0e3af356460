// The library's one way to standard output.
#pragma once

namespace nbclient {

// Formats a wide message ("%s" is a wide string, "%c" a wide character) and writes it to
// standard output as UTF-8.
void Print(const char16_t* format, ...);

}  // namespace nbclient
