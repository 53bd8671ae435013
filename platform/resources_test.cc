#include "platform/resources.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>
#include <string>

namespace {

// Codes in the order of their ids, 1 to 12.
const char* const kCodes[] = {"ru", "uk", "en", "lv", "lt", "bg", "de", "ro", "ka", "kk", "vi", "tr"};

std::u16string std16(const stdx::u16string& s) { return std::u16string(s.data(), s.size()); }

// Lower case of any letter of the twelve languages, whatever the process locale.
char16_t fold_case(char16_t c) {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  return utf8 != nullptr ? static_cast<char16_t>(towlower_l(c, utf8)) : c;
}

class ResourcesTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }
};

TEST_F(ResourcesTest, EveryLanguageHasEveryKeyWithText) {
  ASSERT_EQ(105u, resource_key_count());
  EXPECT_EQ(nullptr, resource_key(resource_key_count()));
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    set_resource_lang(static_cast<LangIdType>(lang));
    // No extra key, and none twice: the same set as English.
    EXPECT_EQ(resource_key_count(), resource_key_count(static_cast<LangIdType>(lang))) << kCodes[lang - 1];
    for (size_t i = 0; i < resource_key_count(); ++i) {
      const char* key = resource_key(i);
      const char* text = resource_text(static_cast<LangIdType>(lang), key);
      ASSERT_NE(nullptr, text) << kCodes[lang - 1] << " " << key;
      EXPECT_NE(0u, strlen(text)) << kCodes[lang - 1] << " " << key;
      // Every text survives the conversion whole, in every script.
      EXPECT_EQ(std::string(text), narrow_lib(LoadResString(key)).c_str()) << kCodes[lang - 1] << " " << key;
    }
  }
}

// A caption with a mnemonic is its plain text with one "&", and the
// captions that share a window never mark the same character (else one
// key would reach only the first of them).
TEST_F(ResourcesTest, MnemonicCaptionsMatchTheirTextsAndDoNotClashWithinAWindow) {
  const char* const kKeyed[][2] = {
      {"IDS_KEYED_BACK", "IDS_WIZARD_BACK"},       {"IDS_KEYED_NEXT", "IDS_WIZARD_NEXT"},
      {"IDS_KEYED_FINISH", "IDS_WIZARD_FINISH"},   {"IDS_KEYED_CANCEL", "IDS_WIZARD_CANCEL"},
      {"IDS_KEYED_TEMPLATE_CATALOG", "IDS_TEMPLATE_CATALOG"},
      {"IDS_KEYED_OPENDESCR", "IDS_SUCCESS_OPENDESCR"},
      {"IDS_KEYED_BROWSE_OK", "IDS_BROWSE_OK"},    {"IDS_KEYED_BROWSE_CANCEL", "IDS_BROWSE_CANCEL"},
  };
  // The directory page, the maintenance page, the final pages (Finish in
  // Next's place), the folder chooser and the question box.
  const std::vector<std::vector<const char*>> kWindows = {
      {"IDS_KEYED_BACK", "IDS_KEYED_NEXT", "IDS_KEYED_CANCEL", "IDS_KEYED_TEMPLATE_CATALOG",
       "IDS_KEYED_CHOOSEDIR"},
      {"IDS_KEYED_BACK", "IDS_KEYED_NEXT", "IDS_KEYED_CANCEL", "IDS_KEYED_UPDATE", "IDS_KEYED_REPAIR",
       "IDS_KEYED_REMOVE"},
      {"IDS_KEYED_FINISH", "IDS_KEYED_CANCEL", "IDS_KEYED_OPENDESCR", "IDS_KEYED_OPENFOLDER"},
      {"IDS_KEYED_BROWSE_OK", "IDS_KEYED_BROWSE_CANCEL"},
      {"IDS_KEYED_YES", "IDS_KEYED_NO"},
  };
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    LangIdType id = static_cast<LangIdType>(lang);
    for (const auto& pair : kKeyed) {
      std::string keyed = resource_text(id, pair[0]);
      ASSERT_EQ(1, std::count(keyed.begin(), keyed.end(), '&')) << kCodes[lang - 1] << " " << pair[0];
      keyed.erase(keyed.find('&'), 1);
      EXPECT_EQ(std::string(resource_text(id, pair[1])), keyed) << kCodes[lang - 1] << " " << pair[0];
    }
    set_resource_lang(id);
    for (const auto& window : kWindows) {
      std::set<char16_t> marked;
      for (const char* key : window) {
        std::u16string text = std16(LoadResString(key));
        size_t amp = text.find(u'&');
        ASSERT_NE(std::u16string::npos, amp) << kCodes[lang - 1] << " " << key;
        ASSERT_LT(amp + 1, text.size()) << kCodes[lang - 1] << " " << key;
        // Letters compare without case, as GTK matches mnemonics.
        char16_t c = text[amp + 1];
        EXPECT_TRUE(marked.insert(fold_case(c)).second) << kCodes[lang - 1] << " " << key;
      }
    }
  }
}

TEST_F(ResourcesTest, EnglishUntilAnotherLanguageIsSet) {
  EXPECT_EQ(LANG_EN, get_resource_lang());
  EXPECT_EQ(u"Next >", std16(LoadResString("IDS_WIZARD_NEXT")));
  EXPECT_EQ(u"<Product>", std16(LoadResString("IDS_DEFPRODUCT")));
  EXPECT_EQ(u"Installing configuration", std16(LoadResString("IDR_MAINFRAME")));
  EXPECT_EQ(std16(LoadResString("IDS_TITLE_INSTALLER")), std16(LoadResString("IDR_MAINFRAME")));
  set_resource_lang(LANG_RU);
  EXPECT_EQ(u"\u0414\u0430\u043b\u0435\u0435 >", std16(LoadResString("IDS_WIZARD_NEXT")));
  EXPECT_EQ(u"&\u041f\u0430\u043f\u043a\u0430:", std16(LoadResString("IDS_CHOOSEDIR_FOLDER")));
}

TEST_F(ResourcesTest, LanguageCodesMatchExactly) {
  for (int id = 1; id <= 12; ++id) EXPECT_EQ(id, get_lang_id_by_lang_code(kCodes[id - 1])) << kCodes[id - 1];
  for (const char* other : {"DE", "de_DE", "", "d", "xx", "en "})
    EXPECT_EQ(LANG_NONE, get_lang_id_by_lang_code(other)) << other;
}

TEST_F(ResourcesTest, UnknownLanguageOrKeyGivesEmptyText) {
  for (int lang : {0, 13}) {
    set_resource_lang(static_cast<LangIdType>(lang));
    for (size_t i = 0; i < resource_key_count(); ++i)
      EXPECT_TRUE(LoadResString(resource_key(i)).empty()) << lang << " " << resource_key(i);
  }
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    set_resource_lang(static_cast<LangIdType>(lang));
    EXPECT_TRUE(LoadResString("IDS_NO_SUCH_KEY").empty()) << lang;
    EXPECT_TRUE(LoadResString("ids_wizard_next").empty()) << lang;
  }
}

}  // namespace
