// UTF conversion and Windows-flavoured printf formatting.
#include "nb/text.h"

#include <cstdio>
#include <cstdint>
#include <cstring>

namespace nb::text {

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (!ok) {
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

size_t Utf16Length(const char16_t* s, size_t limit) {
  size_t n = 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

namespace {

// One conversion directive, parsed.
struct Directive {
  std::string flags;
  int width = -1;
  int precision = -1;
  enum class Size { kDefault, kShort, kLong, kLongLong, kWide } size = Size::kDefault;
  char conversion = 0;
};

// Parses the directive after '%'; returns the position after it.
template <typename Char>
const Char* ParseDirective(const Char* p, Directive& directive, va_list& args) {
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
    directive.flags.push_back(static_cast<char>(*p++));
  if (*p == '*') {
    directive.width = va_arg(args, int);
    ++p;
  } else {
    while (*p >= '0' && *p <= '9') directive.width = (directive.width < 0 ? 0 : directive.width * 10) + (*p++ - '0');
  }
  if (*p == '.') {
    ++p;
    directive.precision = 0;
    if (*p == '*') {
      directive.precision = va_arg(args, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive.precision = directive.precision * 10 + (*p++ - '0');
    }
  }
  if (*p == 'h') {
    directive.size = Directive::Size::kShort;
    ++p;
  } else if (*p == 'l') {
    ++p;
    directive.size = Directive::Size::kLong;
    if (*p == 'l') {
      directive.size = Directive::Size::kLongLong;
      ++p;
    }
  } else if (*p == 'w') {
    directive.size = Directive::Size::kWide;
    ++p;
  } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
    directive.size = Directive::Size::kLongLong;
    p += 3;
  }
  directive.conversion = static_cast<char>(*p);
  if (*p) ++p;
  return p;
}

std::string Pad(std::string body, const Directive& directive) {
  if (directive.width > 0 && static_cast<int>(body.size()) < directive.width) {
    std::string fill(directive.width - body.size(), ' ');
    body = directive.flags.find('-') != std::string::npos ? body + fill : fill + body;
  }
  return body;
}

std::u16string PadWide(std::u16string body, const Directive& directive) {
  if (directive.width > 0 && static_cast<int>(body.size()) < directive.width) {
    std::u16string fill(directive.width - body.size(), u' ');
    body = directive.flags.find('-') != std::string::npos ? body + fill : fill + body;
  }
  return body;
}

// Numbers format the same way in narrow and wide output.
std::string FormatNumber(const Directive& directive, va_list& args) {
  std::string fmt = "%" + directive.flags;
  if (directive.width >= 0) fmt += std::to_string(directive.width);
  if (directive.precision >= 0) fmt += "." + std::to_string(directive.precision);
  char buffer[128];
  switch (directive.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      if (directive.size == Directive::Size::kLongLong) {
        fmt += "ll";
        fmt.push_back(directive.conversion);
        std::snprintf(buffer, sizeof buffer, fmt.c_str(), va_arg(args, long long));
      } else if (directive.size == Directive::Size::kShort) {
        fmt.push_back(directive.conversion);
        int v = va_arg(args, int);
        bool isSigned = directive.conversion == 'd' || directive.conversion == 'i';
        std::snprintf(buffer, sizeof buffer, fmt.c_str(), isSigned ? static_cast<int>(static_cast<short>(v))
                                                                   : static_cast<int>(static_cast<unsigned short>(v)));
      } else {
        // Windows "long" is 32 bits: l and the default size both take an int.
        fmt.push_back(directive.conversion);
        std::snprintf(buffer, sizeof buffer, fmt.c_str(), va_arg(args, int));
      }
      return buffer;
    }
    case 'p':
      std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
      return buffer;
    default:
      return {};
  }
}

std::string NarrowString(const char* s, const Directive& directive) {
  if (!s) s = "(null)";
  size_t n = directive.precision >= 0 ? strnlen(s, directive.precision) : std::strlen(s);
  return std::string(s, n);
}

std::u16string WideString(const char16_t* s, const Directive& directive) {
  if (!s) s = u"(null)";
  size_t limit = directive.precision >= 0 ? static_cast<size_t>(directive.precision) : static_cast<size_t>(-1);
  size_t n = Utf16Length(s, limit);
  return std::u16string(s, n);
}

}  // namespace

std::string FormatV(const char* format, va_list argsIn) {
  va_list args;
  va_copy(args, argsIn);
  std::string out;
  for (const char* p = format; *p;) {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    Directive directive;
    p = ParseDirective(p, directive, args);
    bool wide = directive.size == Directive::Size::kWide || directive.size == Directive::Size::kLong;
    switch (directive.conversion) {
      case 's':
        out += Pad(wide ? Utf16ToUtf8(WideString(va_arg(args, const char16_t*), directive))
                        : NarrowString(va_arg(args, const char*), directive),
                   directive);
        break;
      case 'S':
        out += Pad(Utf16ToUtf8(WideString(va_arg(args, const char16_t*), directive)), directive);
        break;
      case 'c':
        if (wide) {
          char16_t c = static_cast<char16_t>(va_arg(args, int));
          out += Pad(Utf16ToUtf8(std::u16string_view(&c, 1)), directive);
        } else {
          out += Pad(std::string(1, static_cast<char>(va_arg(args, int))), directive);
        }
        break;
      case 'C': {
        char16_t c = static_cast<char16_t>(va_arg(args, int));
        out += Pad(Utf16ToUtf8(std::u16string_view(&c, 1)), directive);
        break;
      }
      default:
        out += FormatNumber(directive, args);
    }
  }
  va_end(args);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatV(format, args);
  va_end(args);
  return s;
}

std::u16string FormatWideV(const char16_t* format, va_list argsIn) {
  va_list args;
  va_copy(args, argsIn);
  std::u16string out;
  for (const char16_t* p = format; *p;) {
    if (*p != u'%') {
      out.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.push_back(u'%');
      ++p;
      continue;
    }
    Directive directive;
    p = ParseDirective(p, directive, args);
    bool narrow = directive.size == Directive::Size::kShort;
    switch (directive.conversion) {
      case 's':
        out += PadWide(narrow ? Utf8ToUtf16(NarrowString(va_arg(args, const char*), directive))
                              : WideString(va_arg(args, const char16_t*), directive),
                       directive);
        break;
      case 'S':
        out += PadWide(Utf8ToUtf16(NarrowString(va_arg(args, const char*), directive)), directive);
        break;
      case 'c':
        if (narrow) {
          out += PadWide(Utf8ToUtf16(std::string(1, static_cast<char>(va_arg(args, int)))), directive);
        } else {
          out += PadWide(std::u16string(1, static_cast<char16_t>(va_arg(args, int))), directive);
        }
        break;
      case 'C':
        out += PadWide(Utf8ToUtf16(std::string(1, static_cast<char>(va_arg(args, int)))), directive);
        break;
      default:
        out += Utf8ToUtf16(FormatNumber(directive, args));
    }
  }
  va_end(args);
  return out;
}

std::u16string FormatWide(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string s = FormatWideV(format, args);
  va_end(args);
  return s;
}

}  // namespace nb::text
