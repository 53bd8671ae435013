#include "platform/stdx_string.h"

#include <climits>
#include <clocale>
#include <cwchar>
#include <langinfo.h>
#include <locale.h>
#include <string.h>
#include <vector>

namespace {

// The environment's locale, made once. Conversions switch to it only on
// their own thread (uselocale), so the process locale is never changed and
// the two threads of the installer can convert at the same time.
struct EnvLocale {
  locale_t loc = (locale_t)0;
  bool utf8 = true;
  EnvLocale() {
    loc = newlocale(LC_ALL_MASK, "", (locale_t)0);
    if (loc == (locale_t)0) return;  // unusable environment: UTF-8
    const char* codeset = nl_langinfo_l(CODESET, loc);
    utf8 = codeset == nullptr || strcmp(codeset, "UTF-8") == 0 ||
           strcmp(codeset, "ANSI_X3.4-1968") == 0 || strcmp(codeset, "ASCII") == 0;
  }
  ~EnvLocale() {
    if (loc != (locale_t)0) freelocale(loc);
  }
};

const EnvLocale& envLocale() {
  static const EnvLocale instance;
  return instance;
}

// A byte that is not part of valid text becomes the lone low surrogate
// U+DC80..U+DCFF (the byte plus 0xDC00) and goes back to the same byte when
// narrowed: file names and configuration text are bytes, and what the
// program reads and does not change it must be able to write back exactly.
// Only bytes from 0x80 up are escaped this way, so no "/" or zero byte can
// hide in an escape; valid text never decodes to a lone surrogate.
inline char16_t escapeByte(unsigned char b) { return static_cast<char16_t>(0xDC00 + b); }
inline bool isEscapedByte(char16_t u) { return u >= 0xDC80 && u <= 0xDCFF; }

// Widens the n bytes at s into out; with stopAtZero, stops at a zero byte,
// otherwise a zero byte becomes U+0000.
void widenInto(const char* s, size_t n, bool stopAtZero, stdx::u16string& out) {
  const EnvLocale& env = envLocale();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  if (env.utf8) {
    while (i < n) {
      if (p[i] < 0x80) {  // fast path for ASCII runs
        if (p[i] == 0 && stopAtZero) return;
        out.push_back(static_cast<char16_t>(p[i++]));
        continue;
      }
      char32_t cp;
      int used = textcodec::decodeUtf8(p + i, n - i, &cp);
      if (used <= 0) {  // invalid, or cut short by the end of the text
        out.push_back(escapeByte(p[i++]));
        continue;
      }
      textcodec::appendUtf16(out, cp);
      i += static_cast<size_t>(used);
    }
    return;
  }
  locale_t old = uselocale(env.loc);
  mbstate_t st;
  memset(&st, 0, sizeof st);
  while (i < n) {
    if (p[i] == 0) {
      if (stopAtZero) break;
      out.push_back(0);
      memset(&st, 0, sizeof st);
      ++i;
      continue;
    }
    wchar_t wc;
    size_t r = mbrtowc(&wc, s + i, n - i, &st);
    if (r == 0 || r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
      out.push_back(p[i] >= 0x80 ? escapeByte(p[i]) : static_cast<char16_t>(p[i]));
      memset(&st, 0, sizeof st);
      ++i;
      continue;
    }
    textcodec::appendUtf16(out, static_cast<char32_t>(wc));
    i += r;
  }
  uselocale(old);
}

void appendUtf8(stdx::string& out, char32_t cp) {
  char buf[4];
  size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

// Narrows the n units at s into out; with stopAtZero, stops at a zero unit,
// otherwise U+0000 becomes a zero byte. An escaped byte goes back to its
// byte. What has no bytes (a lone surrogate that is not an escaped byte, a
// character the locale cannot encode) becomes "?": the result is then not
// the same text, which converts_cleanly reports.
void narrowInto(const char16_t* s, size_t n, bool stopAtZero, stdx::string& out) {
  const EnvLocale& env = envLocale();
  locale_t old = (locale_t)0;
  mbstate_t st;
  memset(&st, 0, sizeof st);
  if (!env.utf8) old = uselocale(env.loc);
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp == 0 && stopAtZero) break;
    if (isEscapedByte(s[i])) {
      out.push_back(static_cast<char>(cp - 0xDC00));
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp >= 0xDC00 || i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) {
        out.push_back('?');
        continue;
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (env.utf8) {
      appendUtf8(out, cp);
      continue;
    }
    char buf[MB_LEN_MAX];
    size_t r = wcrtomb(buf, static_cast<wchar_t>(cp), &st);
    if (r == static_cast<size_t>(-1)) {
      out.push_back('?');
      memset(&st, 0, sizeof st);
      continue;
    }
    out.append(buf, r);
  }
  if (!env.utf8) uselocale(old);
}

bool isAsciiUpper(char16_t c) { return c >= u'A' && c <= u'Z'; }

}  // namespace

namespace textcodec {

bool localeIsUtf8() { return envLocale().utf8; }

struct LocaleDecoder::State {
  locale_t locale = (locale_t)0;
  mbstate_t shift;
};

LocaleDecoder::LocaleDecoder() : state_(new State) {
  state_->locale = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
  reset();
}

LocaleDecoder::~LocaleDecoder() {
  if (state_->locale != (locale_t)0) freelocale(state_->locale);
}

bool LocaleDecoder::ready() const { return state_->locale != (locale_t)0; }

void LocaleDecoder::reset() { memset(&state_->shift, 0, sizeof state_->shift); }

int LocaleDecoder::decode(const unsigned char* s, size_t n, char32_t* cp) {
  if (n == 0) return 0;
  if (s[0] == 0) {
    *cp = 0;
    reset();
    return 1;
  }
  locale_t previous = uselocale(state_->locale);
  mbstate_t before = state_->shift;
  wchar_t wc;
  size_t r = mbrtowc(&wc, reinterpret_cast<const char*>(s), n, &state_->shift);
  uselocale(previous);
  if (r == static_cast<size_t>(-2)) {
    state_->shift = before;
    return 0;
  }
  if (r == static_cast<size_t>(-1) || r == 0) {
    reset();
    return -1;
  }
  *cp = static_cast<char32_t>(wc);
  return static_cast<int>(r);
}

int decodeUtf8(const unsigned char* s, size_t n, char32_t* cp) {
  if (n == 0) return 0;
  unsigned char b = s[0];
  size_t need;
  char32_t v, min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    need = 2; v = b & 0x1F; min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 3; v = b & 0x0F; min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 4; v = b & 0x07; min = 0x10000;
  } else {
    return -1;
  }
  for (size_t k = 1; k < need; ++k) {
    if (k >= n) return 0;  // valid so far, but the rest is still to come
    if ((s[k] & 0xC0) != 0x80) return -1;
    v = (v << 6) | (s[k] & 0x3F);
    // Reject overlong forms, surrogates and values past U+10FFFF as early
    // as the second byte tells, so an incomplete sequence is a real prefix.
    if (k == 1) {
      if (need == 3 && b == 0xE0 && s[1] < 0xA0) return -1;
      if (need == 3 && b == 0xED && s[1] >= 0xA0) return -1;
      if (need == 4 && b == 0xF0 && s[1] < 0x90) return -1;
      if (need == 4 && b == 0xF4 && s[1] >= 0x90) return -1;
    }
  }
  if (v < min) return -1;
  *cp = v;
  return static_cast<int>(need);
}

void appendUtf16(stdx::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else if (cp <= 0x10FFFF) {
    cp -= 0x10000;
    char16_t pair[2] = {static_cast<char16_t>(0xD800 + (cp >> 10)),
                        static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
    out.append(pair, 2);
  }
}

}  // namespace textcodec

int compare_nocase(const stdx::u16string& a, const stdx::u16string& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  const char16_t* pa = a.data();
  const char16_t* pb = b.data();
  for (size_t i = 0; i < n; ++i) {
    char16_t ca = pa[i], cb = pb[i];
    if (isAsciiUpper(ca)) ca = static_cast<char16_t>(ca + 32);
    if (isAsciiUpper(cb)) cb = static_cast<char16_t>(cb + 32);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

unsigned long string_toul(const stdx::u16string& s) {
  unsigned long v = 0;
  for (size_t i = 0; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i)
    v = v * 10 + static_cast<unsigned long>(s[i] - u'0');
  return v;
}

namespace {
stdx::u16string digits(unsigned int value, int radix, bool negative) {
  if (radix < 2 || radix > 36) radix = 10;
  char16_t buf[40];
  size_t pos = sizeof buf / sizeof buf[0];
  do {
    unsigned int d = value % static_cast<unsigned>(radix);
    buf[--pos] = static_cast<char16_t>(d < 10 ? u'0' + d : u'a' + (d - 10));
    value /= static_cast<unsigned>(radix);
  } while (value != 0);
  if (negative) buf[--pos] = u'-';
  return stdx::u16string(buf + pos, sizeof buf / sizeof buf[0] - pos);
}
}  // namespace

stdx::u16string string_uito(unsigned int value, int radix) { return digits(value, radix, false); }

stdx::u16string string_ito(int value, int radix) {
  if (radix == 10 && value < 0)
    return digits(0u - static_cast<unsigned int>(value), radix, true);
  return digits(static_cast<unsigned int>(value), radix, false);
}

size_t replace_all(stdx::u16string& s, const stdx::u16string& what, const stdx::u16string& with) {
  if (what.empty() || s.empty()) return 0;
  const size_t wl = what.size(), nl = with.size();
  if (wl == nl) {
    size_t count = 0;
    size_t pos = s.find(what, 0);
    if (pos == stdx::u16string::npos) return 0;
    char16_t* p = s.mutableData();
    while (pos != stdx::u16string::npos) {
      stdx::fix_char_traits<char16_t>::copy(p + pos, with.data(), nl);
      ++count;
      pos = s.find(what, pos + nl);
    }
    return count;
  }
  std::vector<size_t> hits;
  for (size_t pos = s.find(what, 0); pos != stdx::u16string::npos; pos = s.find(what, pos + wl))
    hits.push_back(pos);
  if (hits.empty()) return 0;
  const size_t old = s.size();
  size_t newLength;
  if (nl > wl) {
    size_t extra = nl - wl;
    if (hits.size() > (stdx::u16string::kMaxUnits - old) / extra) throw std::length_error("basic_string");
    newLength = old + extra * hits.size();
  } else {
    newLength = old - (wl - nl) * hits.size();
  }
  stdx::u16string result;
  char16_t* out = result.resizeForOverwrite(newLength);
  const char16_t* src = s.data();
  size_t from = 0;
  for (size_t hit : hits) {
    stdx::fix_char_traits<char16_t>::copy(out, src + from, hit - from);
    out += hit - from;
    stdx::fix_char_traits<char16_t>::copy(out, with.data(), nl);
    out += nl;
    from = hit + wl;
  }
  stdx::fix_char_traits<char16_t>::copy(out, src + from, old - from);
  s = std::move(result);
  return hits.size();
}

stdx::u16string widen_lib(const stdx::string& s) {
  stdx::u16string out;
  if (s.empty()) return out;
  out.reserve(s.size());
  widenInto(s.data(), s.size(), false, out);
  return out;
}

stdx::string narrow_lib(const stdx::u16string& s) {
  stdx::string out;
  if (s.empty()) return out;
  out.reserve(s.size() + s.size() / 2);
  narrowInto(s.data(), s.size(), false, out);
  return out;
}

bool converts_cleanly(const stdx::u16string& s) {
  const char16_t* p = s.data();
  const size_t n = s.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t u = p[i];
    if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF)) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= n || p[i + 1] < 0xDC00 || p[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  // Under a locale other than UTF-8, a character may have no bytes at all.
  return textcodec::localeIsUtf8() || widen_lib(narrow_lib(s)) == s;
}

int MultiByteToWideChar(unsigned int, unsigned int, const char* src, int srcLen, char16_t* dst,
                        int dstLen) {
  if (src == nullptr) return 0;
  size_t limit = srcLen < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(srcLen);
  stdx::u16string out;
  widenInto(src, limit, true, out);
  if (dst != nullptr && dstLen > 0) {
    size_t n = out.size() < static_cast<size_t>(dstLen) ? out.size() : static_cast<size_t>(dstLen);
    stdx::fix_char_traits<char16_t>::copy(dst, out.data(), n);
  }
  return static_cast<int>(out.size());
}

int WideCharToMultiByte(unsigned int, unsigned int, const char16_t* src, int srcLen, char* dst,
                        int dstLen, const char*, int*) {
  if (src == nullptr) return 0;
  size_t limit = srcLen < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(srcLen);
  stdx::string out;
  narrowInto(src, limit, true, out);
  if (dst != nullptr && dstLen > 0) {
    memset(dst, 0, static_cast<size_t>(dstLen));
    size_t n = out.size() < static_cast<size_t>(dstLen) ? out.size() : static_cast<size_t>(dstLen);
    memcpy(dst, out.data(), n);
  }
  return static_cast<int>(out.size());
}
