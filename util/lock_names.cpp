// Lock names and how they collide, with the case folding the driver uses.
#include "lock_checks.h"

#include <algorithm>

namespace nbutil {

namespace {

// Case mapping of the scripts the driver folds (ASCII, Latin-1, Latin Extended-A, Greek,
// Cyrillic), independent of any locale, so that a check agrees with the driver's matching.
WCHAR Downcase(WCHAR c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F)) {
    return static_cast<WCHAR>(c + 0x20);
  }
  if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 0x50);
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    bool evenIsUpper = (c < 0x138) || (c > 0x148 && c < 0x178);
    if (evenIsUpper ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<WCHAR>(c + 1);
  }
  return c;
}

WCHAR Upcase(WCHAR c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F)) {
    return static_cast<WCHAR>(c - 0x20);
  }
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  if (c >= 0x100 && c <= 0x17F && Downcase(static_cast<WCHAR>(c - 1)) == c) return static_cast<WCHAR>(c - 1);
  return c;
}

size_t Backslashes(std::u16string_view name) { return std::count(name.begin(), name.end(), u'\\'); }

std::u16string_view FieldText(const WCHAR* field, size_t units) {
  const WCHAR* end = std::char_traits<char16_t>::find(field, units, u'\0');
  return {field, end ? static_cast<size_t>(end - field) : units};
}

}  // namespace

std::u16string FullLockName(const _LCK_INFORMAION& lock) {
  std::u16string name{lock.drive, u':'};
  name += FieldText(lock.path, LCK_PATH_UNITS);
  return name;
}

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](WCHAR x, WCHAR y) { return Upcase(x) == Upcase(y); });
}

bool NamesCollide(std::u16string_view a, std::u16string_view b) {
  if (a.size() == b.size() && SameIgnoringCase(a, b)) return true;
  if (Backslashes(a) == Backslashes(b)) return false;
  std::u16string_view shorter = a.size() <= b.size() ? a : b;
  std::u16string_view longer = a.size() <= b.size() ? b : a;
  return SameIgnoringCase(shorter, longer.substr(0, shorter.size()));
}

}  // namespace nbutil
