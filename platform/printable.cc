#include "platform/printable.h"

#include <stdio.h>

namespace {

bool is_control(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

bool has_control_character(const stdx::u16string& name) {
  for (char16_t c : name)
    if (is_control(c)) return true;
  return false;
}

stdx::u16string printable_name(const stdx::u16string& name, bool doubleBackslash) {
  stdx::u16string out;
  out.reserve(name.size());
  for (char16_t c : name) {
    const char* escape = nullptr;
    char hex[8];
    if (c == u'\\' && doubleBackslash) {
      escape = "\\\\";
    } else if (c == u'\t') {
      escape = "\\t";
    } else if (c == u'\n') {
      escape = "\\n";
    } else if (c == u'\r') {
      escape = "\\r";
    } else if (is_control(c) && c < 0x80) {
      snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
      escape = hex;
    } else if (is_control(c)) {
      snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
      escape = hex;
    }
    if (escape == nullptr) {
      out.push_back(c);
      continue;
    }
    for (const char* p = escape; *p != '\0'; ++p) out.push_back(static_cast<char16_t>(*p));
  }
  return out;
}
