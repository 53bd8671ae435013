// Localised interface texts, compiled in for twelve languages. The tables
// are read-only after start-up, so LoadResString may be called from any
// thread without a lock.
#pragma once

#include "platform/stdx_string.h"

enum LangIdType {
  LANG_NONE = 0,
  LANG_RU = 1,
  LANG_UK = 2,
  LANG_EN = 3,
  LANG_LV = 4,
  LANG_LT = 5,
  LANG_BG = 6,
  LANG_DE = 7,
  LANG_RO = 8,
  LANG_KA = 9,
  LANG_KK = 10,
  LANG_VI = 11,
  LANG_TR = 12,
};

// Stores lang as the language of every later LoadResString; no check.
void set_resource_lang(LangIdType lang);
LangIdType get_resource_lang();
// Exact, case-sensitive match of the two-letter code; 0 when none matches.
LangIdType get_lang_id_by_lang_code(const stdx::string& code);
// The text of key in the current language; empty when the language or the
// key is unknown (no fall-back to English).
stdx::u16string LoadResString(const stdx::string& key);
// The UTF-8 text of key in lang, or null. For tests and tools.
const char* resource_text(LangIdType lang, const char* key);
// Number of keys every table holds.
size_t resource_key_count();
// Number of distinct keys the table of lang holds; 0 for an unknown language.
size_t resource_key_count(LangIdType lang);
// The key at index i of the English table.
const char* resource_key(size_t i);
