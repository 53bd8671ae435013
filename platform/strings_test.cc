#include "platform/stdx_string.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Standard strings print readably when an expectation fails.
std::u16string std16(const stdx::u16string& s) { return std::u16string(s.data(), s.size()); }
std::string std8(const stdx::string& s) { return std::string(s.data(), s.size()); }

// n units "abc...zab...", assigned at once: capacity n + 4 rounded.
stdx::u16string units(size_t n) {
  std::u16string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(u'a' + i % 26));
  return stdx::u16string(s.data(), s.size());
}

TEST(StringTest, InlineUpToElevenUnitsOrTwentyThreeBytes) {
  EXPECT_FALSE(units(11).isHeap());
  EXPECT_TRUE(units(12).isHeap());
  EXPECT_FALSE(stdx::string(std::string(23, 'x').c_str()).isHeap());
  EXPECT_TRUE(stdx::string(std::string(24, 'x').c_str()).isHeap());
  EXPECT_EQ(0, units(11).use_count());
}

TEST(StringTest, ChangingACopyLeavesTheOriginalAlone) {
  const stdx::u16string original = units(20);
  stdx::u16string indexed = original, appended = original, truncated = original, cleared = original;
  EXPECT_EQ(5, original.use_count());
  indexed[0] = u'X';
  appended.append(u"tail");
  truncated.resize(5);
  cleared = u"";
  EXPECT_FALSE(truncated.isHeap());  // back inline
  EXPECT_FALSE(cleared.isHeap());    // the block is released
  EXPECT_EQ(u"abcde", std16(truncated));
  EXPECT_EQ(u'X', indexed[0]);
  EXPECT_EQ(std16(units(20)) + u"tail", std16(appended));
  EXPECT_EQ(std16(units(20)), std16(original));
  EXPECT_EQ(1, original.use_count());
  EXPECT_EQ(1, indexed.use_count());
  EXPECT_EQ(1, appended.use_count());

  stdx::u16string shrunk = units(30);
  shrunk.erase(5);
  EXPECT_FALSE(shrunk.isHeap());
  EXPECT_EQ(u"abcde", std16(shrunk));
}

TEST(StringTest, GrowthIsOneAndAHalfTimesRoundedByByteSize) {
  // 20 units assigned: 24 units with the header (48 bytes). Each step is 1.5x
  // rounded: 36 (72 bytes), 54 -> 56 (112 bytes), 84, 126 -> 128 (256 bytes),
  // 192 (384 bytes, by 16), 288 (576, by 32), 432, 648 -> 672 (1344, by 64).
  stdx::u16string s = units(20);
  std::vector<size_t> seen{s.capacity()};
  while (s.size() < 440) {
    s.push_back(u'x');
    if (s.capacity() == seen.back()) continue;
    EXPECT_EQ(seen.back() + 1, s.size() + 4) << "reallocated before the block was full";
    seen.push_back(s.capacity());
  }
  EXPECT_EQ((std::vector<size_t>{24, 36, 56, 84, 128, 192, 288, 432, 672}), seen);
  stdx::u16string big = units(20);
  big.append(units(100).data(), 100);  // 1.5x is too little: exactly what is needed
  EXPECT_EQ(124u, big.capacity());

  // assign takes the required size, never the 1.5x step.
  struct { size_t length, capacity; } u16[] = {{26, 32}, {1500, 1536}, {4000, 4096}, {5000, 5120},
                                               {8200, 8204}};
  for (auto c : u16) EXPECT_EQ(c.capacity, units(c.length).capacity()) << c.length;
  struct { size_t length, capacity; } u8[] = {{24, 32},    {248, 256},   {249, 272},
                                              {520, 544},  {1016, 1024}, {1017, 1088}};
  for (auto c : u8)
    EXPECT_EQ(c.capacity, stdx::string(std::string(c.length, 'y').c_str()).capacity()) << c.length;
}

TEST(StringTest, AppendAndInsertFromTheStringItself) {
  stdx::u16string s = u"abcdefghijk";  // a full inline area: the append moves it to the heap
  s.append(s.data() + 1, 3);
  EXPECT_EQ(u"abcdefghijkbcd", std16(s));
  stdx::u16string full = units(20);  // capacity 24: the old block is freed under the source
  full.append(full.data(), 20);
  EXPECT_EQ(std16(units(20)) + std16(units(20)), std16(full));
  stdx::u16string shared = units(20), other = shared;
  shared.append(shared.data() + 18, 2);
  EXPECT_EQ(std16(units(20)) + u"st", std16(shared));
  EXPECT_EQ(std16(units(20)), std16(other));

  stdx::u16string t = u"0123456789abcdef", r = t, small = u"abc";
  t.insert(4, t);
  EXPECT_EQ(u"01230123456789abcdef456789abcdef", std16(t));
  r.insert(2, r.data() + 1, 4);  // the range straddles the insertion point
  EXPECT_EQ(u"01123423456789abcdef", std16(r));
  small.insert(1, small);
  EXPECT_EQ(u"aabcbc", std16(small));

  stdx::u16string dst = u"x";
  const stdx::u16string src = u"hello";
  dst.append(src, 5, stdx::u16string::npos);
  EXPECT_EQ(u"x", std16(dst));
  EXPECT_THROW(dst.append(src, 6, 1), std::out_of_range);
  dst.append(src, 3, 100);
  EXPECT_EQ(u"xlo", std16(dst));
}

TEST(StringTest, ConcatenationAllocatesOnceAndOrderIsUnsigned) {
  stdx::u16string sum = units(10) + units(5);
  EXPECT_EQ(std16(units(10)) + std16(units(5)), std16(sum));
  EXPECT_EQ(19u, sum.capacity());  // 15 units and the header: no rounding, no slack
  EXPECT_FALSE((units(5) + units(6)).isHeap());
  EXPECT_FALSE((stdx::string("0123456789") + "0123456789abc").isHeap());
  EXPECT_EQ(23u, (units(20) + u"xyz").size());

  EXPECT_TRUE(stdx::u16string(u"a") < stdx::u16string(u"\xFFFF"));
  EXPECT_FALSE(stdx::u16string(u"\xFFFF") < stdx::u16string(u"a"));
  EXPECT_TRUE(stdx::string("a") < stdx::string("\xff"));
  EXPECT_TRUE(stdx::string("ab") < stdx::string("abc"));
  EXPECT_FALSE(stdx::string("abc") < stdx::string("abc"));
}

TEST(StringTest, ReplaceAllCountsAndNeverRescansInsertedText) {
  stdx::u16string s = u"aaaa", empty;
  EXPECT_EQ(2u, replace_all(s, u"aa", u"a"));
  EXPECT_EQ(u"aa", std16(s));
  s = u"aaa";
  EXPECT_EQ(3u, replace_all(s, u"a", u"aa"));
  EXPECT_EQ(u"aaaaaa", std16(s));
  EXPECT_EQ(0u, replace_all(s, u"", u"b"));
  EXPECT_EQ(u"aaaaaa", std16(s));
  EXPECT_EQ(0u, replace_all(empty, u"a", u"b"));

  stdx::u16string path = u"C:\\dir\\sub\\file.txt";
  const stdx::u16string before = path;  // shares the block: in-place writes must not reach it
  EXPECT_EQ(3u, replace_all(path, u"\\", u"/"));
  EXPECT_EQ(u"C:/dir/sub/file.txt", std16(path));
  EXPECT_EQ(u"C:\\dir\\sub\\file.txt", std16(before));
  EXPECT_EQ(1, before.use_count());
}

TEST(StringTest, NumberConversions) {
  EXPECT_EQ(123u, string_toul(u"123abc"));
  EXPECT_EQ(0u, string_toul(u"-1"));
  EXPECT_EQ(0u, string_toul(u""));
  EXPECT_EQ(18446744073709551615ul, string_toul(u"18446744073709551615"));
  EXPECT_EQ(0u, string_toul(u"18446744073709551616"));  // wraps modulo 2^64

  EXPECT_EQ(u"-42", std16(string_ito(-42, 10)));
  EXPECT_EQ(u"-2147483648", std16(string_ito(-2147483647 - 1, 10)));
  EXPECT_EQ(u"ffffffff", std16(string_ito(-1, 16)));
  EXPECT_EQ(u"z", std16(string_ito(35, 36)));
  EXPECT_EQ(u"ff", std16(string_uito(255, 16)));
  EXPECT_EQ(u"0", std16(string_uito(0, 2)));
  EXPECT_EQ(u"4294967295", std16(string_uito(0xFFFFFFFFu, 10)));
}

TEST(StringTest, CompareNocaseFoldsAsciiOnly) {
  EXPECT_EQ(0, compare_nocase(u"ABC", u"abc"));
  EXPECT_LT(compare_nocase(u"abc", u"ABD"), 0);
  EXPECT_GT(compare_nocase(u"ABD", u"abc"), 0);
  EXPECT_LT(compare_nocase(u"ab", u"ABC"), 0);
  EXPECT_LT(compare_nocase(u"_", u"A"), 0);  // folds to lower case, as strcasecmp does
  EXPECT_NE(0, compare_nocase(u"\u042F", u"\u044F"));
}

TEST(StringTest, ConversionsRoundTripEveryScript) {
  if (!textcodec::localeIsUtf8()) GTEST_SKIP() << "the locale's encoding is not UTF-8";
  struct { const char* utf8; const char16_t* utf16; } cases[] = {
      {"plain ASCII", u"plain ASCII"},
      {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", u"\u041f\u0440\u0438\u0432\u0435\u0442"},
      {"\xe1\x83\x92\xe1\x83\x90", u"\u10d2\u10d0"},
      {"\xe4\xb8\xad\xe6\x96\x87", u"\u4e2d\u6587"},
      {"a\xf0\x9f\x98\x80z", u"a\xD83D\xDE00z"},
  };
  for (auto c : cases) {
    EXPECT_EQ(std::u16string(c.utf16), std16(widen_lib(c.utf8))) << c.utf8;
    EXPECT_EQ(std::string(c.utf8), std8(narrow_lib(c.utf16))) << c.utf8;
  }
  EXPECT_TRUE(widen_lib(stdx::string()).empty());
}

stdx::string bytes(const std::string& s) { return stdx::string(s.data(), s.size()); }

// File names and configuration text are bytes: whatever they hold must
// come back unchanged after a trip through the wide form.
TEST(StringTest, NarrowOfWidenGivesBackEveryByteString) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const std::string framed = "a" + one + "/z" + one;
    for (const std::string& s : {one, framed}) {
      stdx::u16string wide = widen_lib(bytes(s));
      EXPECT_EQ(s, std8(narrow_lib(wide))) << "byte " << b;
    }
  }
  // Random strings, biased to the bytes that start and continue sequences.
  unsigned seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  const unsigned char tricky[] = {0x00, 0x2f, 0x80, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xed, 0xef,
                                  0xf0, 0xf4, 0xf5, 0xff, 0xa0, 0x90};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    size_t length = (next() >> 16) % 12;
    for (size_t i = 0; i < length; ++i) {
      unsigned r = next() >> 16;
      s.push_back(static_cast<char>(r % 3 == 0 ? tricky[(r >> 2) % sizeof tricky] : r >> 4));
    }
    ASSERT_EQ(s, std8(narrow_lib(widen_lib(bytes(s))))) << "round " << round;
  }
}

TEST(StringTest, InvalidBytesWidenToEscapesAndValidTextIsUntouched) {
  if (!textcodec::localeIsUtf8()) GTEST_SKIP() << "the locale's encoding is not UTF-8";
  struct { std::string narrow; std::u16string wide; } cases[] = {
      {"t\xe9mplates", u"t\xDCE9mplates"},                       // Latin-1
      {"ab\xe2\x82", u"ab\xDCE2\xDC82"},                          // cut short
      {"\xc0\xaf", u"\xDCC0\xDCAF"},                              // overlong "/"
      {"\xed\xa0\x80", u"\xDCED\xDCA0\xDC80"},                    // encoded surrogate
      {"\xf4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},          // past U+10FFFF
      {"\xe2\x82\xac\xff", u"\u20ac\xDCFF"},                      // valid, then invalid
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.wide, std16(widen_lib(bytes(c.narrow)))) << c.narrow;
    EXPECT_EQ(c.narrow, std8(narrow_lib(stdx::u16string(c.wide.data(), c.wide.size()))));
  }
  // Units with no bytes of their own narrow to "?"; nothing after them is lost.
  EXPECT_EQ("ab?cd", std8(narrow_lib(u"ab\xD800" u"cd")));
  EXPECT_EQ("ab??", std8(narrow_lib(u"ab\xDC00\xDE00")));
  EXPECT_EQ("ab\xf0\x9f\x98\x80?", std8(narrow_lib(u"ab\xD83D\xDE00\xD83D")));

  // The Win32-named forms stop at the first zero.
  char16_t wide[8] = {};
  char narrow[8];
  EXPECT_EQ(3, MultiByteToWideChar(0, 0, "a\xff" "b\0c", -1, wide, 8));
  EXPECT_EQ(u"a\xDCFF" u"b", std::u16string(wide));
  EXPECT_EQ(3, WideCharToMultiByte(0, 0, wide, -1, narrow, 8, nullptr, nullptr));
  EXPECT_EQ("a\xff" "b", std::string(narrow));
  EXPECT_EQ(12, WideCharToMultiByte(0, 0, u"\u041f\u0440\u0438\u0432\u0435\u0442", -1, nullptr, 0,
                                    nullptr, nullptr));
}

TEST(StringTest, ConvertsCleanlyRefusesWhatIsNotText) {
  EXPECT_TRUE(converts_cleanly(u"dir\\file.txt"));
  EXPECT_TRUE(converts_cleanly(u"\u041f/a\xD83D\xDE00"));
  EXPECT_TRUE(converts_cleanly(u""));
  for (const std::u16string& s : {std::u16string(u"t\xDCE9mplates"), std::u16string(u"a\xD800"),
                                  std::u16string(u"a\xD800z"), std::u16string(u"\xDE00"),
                                  std::u16string(u"a\0b", 3)})
    EXPECT_FALSE(converts_cleanly(stdx::u16string(s.data(), s.size()))) << s.size();
}

// Copies of one block made, changed and destroyed on two threads at once;
// then the last two holders of other blocks release them concurrently.
TEST(StringThreadTest, CopiesAcrossThreadsKeepTheCountExact) {
  const stdx::u16string original = units(40);
  std::atomic<int> faults(0);
  auto hammer = [&original, &faults](char16_t mark) {
    for (int i = 0; i < 20000; ++i) {
      stdx::u16string copy = original, changed = copy;
      changed[0] = mark;
      const stdx::u16string& view = copy;
      if (changed[0] != mark || view[0] != u'a' || view.size() != 40) ++faults;
    }
  };
  std::thread t1(hammer, u'1'), t2(hammer, u'2');
  t1.join();
  t2.join();
  EXPECT_EQ(0, faults.load());
  EXPECT_EQ(std16(units(40)), std16(original));
  EXPECT_EQ(1, original.use_count());

  for (int round = 0; round < 200; ++round) {
    std::vector<stdx::u16string> left(50, units(30)), right(left);
    std::thread a([&left] { left.clear(); }), b([&right] { right.clear(); });
    a.join();
    b.join();
  }
}

}  // namespace
