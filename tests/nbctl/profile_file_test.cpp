// The console's last user read from its settings file as Qt writes it.
#include "profile_file.h"

#include <gtest/gtest.h>

namespace {

TEST(NbctlProfileFile, FindsTheLastUserOfTheUserSection) {
  struct Case {
    const char* text;
    std::u16string user;
  };
  const Case cases[] = {
      {"[Frame]\nTop=1\n\n[User]\nCheck=1\nUser=ann\n", u"ann"},
      {"[User]\r\nUser = ann lee \r\n", u"ann lee"},
      {"[User]\nUser=\"quoted name\"\n", u"quoted name"},
      {"[User]\nUser=back\\\\slash\n", u"back\\slash"},
      {"[User]\nUser=\\x65e5\\x672c\n", u"\x65e5\x672c"},
      {"[User]\nUser=caf\xc3\xa9\n", u"caf\u00e9"},
      {"[Frame]\nUser=not-here\n[User]\nCheck=0\n", u""},
      {"[User]\nUsers=ann\n", u""},
      {"[User]\nUser=\\xZZ\n", u""},
      {"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(nb::nbctl::ProfileUser(c.text), c.user) << c.text;
  std::string tooLong = "[User]\nUser=" + std::string(60, 'x') + "\n";
  EXPECT_EQ(nb::nbctl::ProfileUser(tooLong), u"") << "a name no account can carry is no default";
}

}  // namespace
