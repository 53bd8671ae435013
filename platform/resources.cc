#include "platform/resources.h"

#include <string.h>

namespace {

struct ResPair {
  const char* key;
  const char* text;
};

#include "platform/resource_tables.inc"

// The tables are read where they lie: nothing is copied or indexed at
// start-up, which a run that shows a line or two of text would pay for
// every language.
struct LangTable {
  int id;
  const char* code;
  const ResPair* pairs;
  size_t count;
};

template <size_t N>
constexpr LangTable langTable(int id, const char* code, const ResPair (&pairs)[N]) {
  return LangTable{id, code, pairs, N};
}

const LangTable kLanguages[] = {
    langTable(LANG_RU, "ru", kTextsRu), langTable(LANG_UK, "uk", kTextsUk), langTable(LANG_EN, "en", kTextsEn),
    langTable(LANG_LV, "lv", kTextsLv), langTable(LANG_LT, "lt", kTextsLt), langTable(LANG_RO, "ro", kTextsRo),
    langTable(LANG_DE, "de", kTextsDe), langTable(LANG_BG, "bg", kTextsBg), langTable(LANG_KA, "ka", kTextsKa),
    langTable(LANG_KK, "kk", kTextsKk), langTable(LANG_VI, "vi", kTextsVi), langTable(LANG_TR, "tr", kTextsTr),
};

const LangTable* languageTable(int lang) {
  for (const LangTable& table : kLanguages) {
    if (table.id == lang) return &table;
  }
  return nullptr;
}

LangIdType g_currentLang = LANG_EN;

}  // namespace

void set_resource_lang(LangIdType lang) { g_currentLang = lang; }

LangIdType get_resource_lang() { return g_currentLang; }

LangIdType get_lang_id_by_lang_code(const stdx::string& code) {
  for (const LangTable& table : kLanguages) {
    if (code == table.code) return static_cast<LangIdType>(table.id);
  }
  return LANG_NONE;
}

// The first text under key in lang's table.
const char* resource_text(LangIdType lang, const char* key) {
  const LangTable* table = languageTable(lang);
  if (table == nullptr || key == nullptr) return nullptr;
  for (size_t i = 0; i < table->count; ++i) {
    if (strcmp(table->pairs[i].key, key) == 0) return table->pairs[i].text;
  }
  return nullptr;
}

stdx::u16string LoadResString(const stdx::string& key) {
  const char* text = resource_text(g_currentLang, key.c_str());
  return text ? widen_lib(stdx::string(text)) : stdx::u16string();
}

size_t resource_key_count() { return sizeof(kTextsEn) / sizeof(kTextsEn[0]); }

// The distinct keys of lang's table.
size_t resource_key_count(LangIdType lang) {
  const LangTable* table = languageTable(lang);
  if (table == nullptr) return 0;
  size_t distinct = 0;
  for (size_t i = 0; i < table->count; ++i) {
    size_t first = 0;
    while (strcmp(table->pairs[first].key, table->pairs[i].key) != 0) ++first;
    distinct += first == i;
  }
  return distinct;
}

const char* resource_key(size_t i) { return i < resource_key_count() ? kTextsEn[i].key : nullptr; }
