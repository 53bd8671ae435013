#include "platform/resources.h"

#include <map>

namespace {

struct ResPair {
  const char* key;
  const char* text;
};

#include "platform/resource_tables.inc"

struct LangInfo {
  stdx::string code;
  std::map<stdx::string, stdx::string> strings;
};

template <size_t N>
LangInfo makeLang(const char* code, const ResPair (&pairs)[N]) {
  LangInfo info;
  info.code = code;
  for (const ResPair& p : pairs) info.strings.emplace(stdx::string(p.key), stdx::string(p.text));
  return info;
}

// Built on first use (thread-safe static), complete before any lookup, and
// read-only afterwards.
const std::map<int, LangInfo>& languages() {
  static const std::map<int, LangInfo> table = [] {
    std::map<int, LangInfo> m;
    m.emplace(LANG_RU, makeLang("ru", kTextsRu));
    m.emplace(LANG_UK, makeLang("uk", kTextsUk));
    m.emplace(LANG_EN, makeLang("en", kTextsEn));
    m.emplace(LANG_LV, makeLang("lv", kTextsLv));
    m.emplace(LANG_LT, makeLang("lt", kTextsLt));
    m.emplace(LANG_RO, makeLang("ro", kTextsRo));
    m.emplace(LANG_DE, makeLang("de", kTextsDe));
    m.emplace(LANG_BG, makeLang("bg", kTextsBg));
    m.emplace(LANG_KA, makeLang("ka", kTextsKa));
    m.emplace(LANG_KK, makeLang("kk", kTextsKk));
    m.emplace(LANG_VI, makeLang("vi", kTextsVi));
    m.emplace(LANG_TR, makeLang("tr", kTextsTr));
    return m;
  }();
  return table;
}

LangIdType g_currentLang = LANG_EN;

}  // namespace

void set_resource_lang(LangIdType lang) { g_currentLang = lang; }

LangIdType get_resource_lang() { return g_currentLang; }

LangIdType get_lang_id_by_lang_code(const stdx::string& code) {
  for (const auto& entry : languages()) {
    if (entry.second.code == code) return static_cast<LangIdType>(entry.first);
  }
  return LANG_NONE;
}

const char* resource_text(LangIdType lang, const char* key) {
  auto lang_it = languages().find(lang);
  if (lang_it == languages().end()) return nullptr;
  auto it = lang_it->second.strings.find(stdx::string(key));
  return it == lang_it->second.strings.end() ? nullptr : it->second.c_str();
}

stdx::u16string LoadResString(const stdx::string& key) {
  const char* text = resource_text(g_currentLang, key.c_str());
  return text ? widen_lib(stdx::string(text)) : stdx::u16string();
}

size_t resource_key_count() { return sizeof(kTextsEn) / sizeof(kTextsEn[0]); }

size_t resource_key_count(LangIdType lang) {
  auto it = languages().find(lang);
  return it == languages().end() ? 0 : it->second.strings.size();
}

const char* resource_key(size_t i) { return i < resource_key_count() ? kTextsEn[i].key : nullptr; }
