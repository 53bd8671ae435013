#include "platform/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string std8(const stdx::u16string& s) { return narrow_lib(s).c_str(); }

TEST(PrintableNameTest, ControlCharactersAreEscapedAndNothingElse) {
  struct Case {
    std::u16string name;
    bool doubleBackslash;
    const char* printed;
    bool control;
  } cases[] = {
      {u"plain/name.txt", true, "plain/name.txt", false},
      {u"пример ქართ", true, "пример ქართ", false},
      {u"a\nsetup: result=installed", true, "a\\nsetup: result=installed", true},
      {u"a\r\tb", true, "a\\r\\tb", true},
      {std::u16string(u"a\0b", 3), true, "a\\x00b", true},
      {u"\x1b[31mred", true, "\\x1b[31mred", true},
      {u"del\x7f", true, "del\\x7f", true},
      {u"next\x85line", true, "next\\u0085line", true},
      {u"\xa0nbsp", true, "\xc2\xa0nbsp", false},
      // A literal backslash and n must not read back as a line break.
      {u"a\\nb", true, "a\\\\nb", false},
      {u"a\\nb", false, "a\\nb", false},
      {u"a\\\nb", false, "a\\\\nb", true},
  };
  for (const Case& c : cases) {
    stdx::u16string name(c.name.data(), c.name.size());
    EXPECT_EQ(c.printed, std8(printable_name(name, c.doubleBackslash))) << c.printed;
    EXPECT_EQ(c.control, has_control_character(name)) << c.printed;
  }
}

}  // namespace
