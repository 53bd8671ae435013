#include "config/starter.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/test_util.h"

namespace {

std::string join(const std::vector<stdx::u16string>& list) {
  std::string text;
  for (const stdx::u16string& entry : list) text += (text.empty() ? "" : " ") + utf8(entry);
  return text;
}

// Every test runs with HOME in a scratch directory, so the files of both
// families are ordinary files under it.
class StarterTest : public ::testing::Test {
 protected:
  StarterTest() : home_(), env_("HOME", home_.path()) {}

  std::string local() const { return home_.path() + "/.KX/kxlaunch/kxlaunch.cfg"; }
  std::string allUsers() const { return home_.path() + "/.kxq5/.KX/kxlaunch/kxlaunch.cfg"; }
  std::string localBase() const { return home_.path() + "/.KX/kxlauncht/kxlaunch.cfg"; }

  std::string templates(bool includeLocal, bool base, std::vector<stdx::u16string> list = {}) {
    get_tmplts_list(list, includeLocal, base);
    return join(list);
  }

  ScratchDir home_;
  ScopedEnv env_;
};

TEST_F(StarterTest, NoFilesGiveEmptyListAndWritingCreatesTheFile) {
  EXPECT_EQ(templates(true, false), "");
  EXPECT_EQ(templates(false, false), "");
  EXPECT_EQ(templates(true, true), "");

  set_tmplts_list({u"/home/u/tmplts/", u"/srv/t"}, false);
  EXPECT_EQ(readBytes(local()),
            "ConfigurationTemplatesLocation=/home/u/tmplts/\n"
            "ConfigurationTemplatesLocation=/srv/t\n");
  EXPECT_FALSE(exists(allUsers()));
  EXPECT_FALSE(exists(localBase()));
}

TEST_F(StarterTest, MergeTakesPerUserFirstAndEachDirectoryOnce) {
  writeBytes(local(),
             "ConfigurationTemplatesLocation=C:\\data\\tmplts\n"
             "ConfigurationTemplatesLocation=/Home/U/Shared\n"
             "ConfigurationTemplatesLocation=\n"
             "DefaultVersion=8.3\n");
  writeBytes(allUsers(),
             "configurationtemplateslocation=/home/u/shared\n"
             "ConfigurationTemplatesLocation=C:/data/tmplts/\n"
             "ConfigurationTemplatesLocation=/opt/all\n"
             "ConfigurationTemplatesLocation=/opt/all/\r\n");
  EXPECT_EQ(templates(true, false), "C:/data/tmplts /Home/U/Shared  /opt/all /opt/all/\r");
  // Without the per-user file only the all-users values count.
  EXPECT_EQ(templates(false, false), "/home/u/shared C:/data/tmplts/ /opt/all /opt/all/\r");
  // Entries already in the list stay in front and take part in the
  // clean-up, but not in the merge.
  EXPECT_EQ(templates(false, false, {u"/first", u"/OPT/ALL/", u"d:\\x"}),
            "/first /OPT/ALL/ d:/x /home/u/shared C:/data/tmplts/ /opt/all/\r");
}

// loadConfig keeps each file's items apart, as read: the all-users file is
// never mixed into the per-user one that is written back.
TEST_F(StarterTest, LoadKeepsEachFilesItemsApart) {
  writeBytes(local(), "ConfigurationTemplatesLocation=/mine\nDefaultVersion=8.3\n");
  writeBytes(allUsers(), "ConfigurationTemplatesLocation=/all\n");
  Starter starter(false);
  EXPECT_FALSE(starter.loadConfig().failed());
  ASSERT_EQ(2u, starter.localConfig().items.size());
  EXPECT_EQ("DefaultVersion", utf8(starter.localConfig().items[1].key));
  ASSERT_EQ(1u, starter.allUsersConfig().items.size());
  EXPECT_EQ("/all", utf8(starter.allUsersConfig().items[0].values.at(0)));
}

TEST_F(StarterTest, GetConfigFilesValuesOrderFollowsFlags) {
  writeBytes(local(), "k=local\nk=both\n");
  writeBytes(allUsers(), "k=all\nk=BOTH\n");
  Starter starter(false);
  starter.loadConfig();
  std::vector<stdx::u16string> out;
  starter.getConfigFilesValues(true, u"K", out, false);
  EXPECT_EQ(join(out), "local both all");
  out.clear();
  starter.getConfigFilesValues(false, u"k", out, false);
  EXPECT_EQ(join(out), "all BOTH local");
  out.clear();
  starter.getConfigFilesValues(false, u"k", out, true);
  EXPECT_EQ(join(out), "all BOTH");
  out = {u"all"};
  starter.getConfigFilesValues(true, u"k", out, true);
  EXPECT_EQ(join(out), "all local both all");
}

TEST(StarterLists, RemovePathDuplicatesKeepsFirstSpelling) {
  std::vector<stdx::u16string> list = {u"/home/u/tmplts", u"/HOME/u/tmplts/", u"", u"C:\\x",
                                       u"c:\\x\\",         u"",                u"/a/",
                                       u"/a"};
  Starter::removePathDuplicates(list);
  // C:\x compares as C:\x/ but c:\x\ as itself, so both stay.
  EXPECT_EQ(join(list), "/home/u/tmplts  C:\\x c:\\x\\ /a/");
  // "/" and "\" are not the same separator until they are rewritten.
  list = {u"C:\\x", u"C:/x"};
  Starter::removePathDuplicates(list);
  EXPECT_EQ(join(list), "C:\\x C:/x");
  Starter::replaceWrongSeparators(list);
  Starter::removePathDuplicates(list);
  EXPECT_EQ(join(list), "C:/x");
}

TEST_F(StarterTest, SetKeepsOtherKeysAndLeavesAllUsersFileAlone) {
  const std::string allUsersText = "ConfigurationTemplatesLocation=/opt/all\n";
  writeBytes(allUsers(), allUsersText);
  writeBytes(local(),
             "DefaultVersion=8.3\r\n"
             "ConfigurationTemplatesLocation=/old\n"
             "CommonInfoBases=/bases\n"
             "InstallComponents\n"
             "ConfigurationTemplatesLocation=/old2\n"
             "defaultversion=8.2\n");
  std::vector<stdx::u16string> list;
  get_tmplts_list(list, true, false);
  list.insert(list.begin(), u"/new/target/");
  list.push_back(u"/NEW/target");
  set_tmplts_list(list, false);
  EXPECT_EQ(readBytes(local()),
            "DefaultVersion=8.3\r\n"
            "DefaultVersion=8.2\n"
            "ConfigurationTemplatesLocation=/new/target/\n"
            "ConfigurationTemplatesLocation=/old\n"
            "ConfigurationTemplatesLocation=/old2\n"
            "ConfigurationTemplatesLocation=/opt/all\n"
            "CommonInfoBases=/bases\n"
            "InstallComponents=\n");
  EXPECT_EQ(readBytes(allUsers()), allUsersText);

  set_tmplts_list({}, false);
  EXPECT_EQ(readBytes(local()),
            "DefaultVersion=8.3\r\nDefaultVersion=8.2\nCommonInfoBases=/bases\nInstallComponents=\n");
  EXPECT_EQ(templates(true, false), "/opt/all");
}

TEST_F(StarterTest, BaseFamilyReadsOrdinaryPerUserFileAsAllUsers) {
  writeBytes(allUsers(), "ConfigurationTemplatesLocation=/never/read\n");
  writeBytes(local(), "ConfigurationTemplatesLocation=/ordinary\nDefaultVersion=8.3\n");
  writeBytes(localBase(), "ConfigurationTemplatesLocation=/base\nCommonCfgLocation=/c\n");
  EXPECT_EQ(templates(true, true), "/base /ordinary");
  EXPECT_EQ(templates(false, true), "/ordinary");

  set_tmplts_list({u"/target", u"/base"}, true);
  EXPECT_EQ(readBytes(localBase()),
            "ConfigurationTemplatesLocation=/target\n"
            "ConfigurationTemplatesLocation=/base\n"
            "CommonCfgLocation=/c\n");
  EXPECT_EQ(readBytes(local()), "ConfigurationTemplatesLocation=/ordinary\nDefaultVersion=8.3\n");
}

TEST_F(StarterTest, SaveCreatesMissingDirectoriesOrSaysWhyItCannot) {
  EXPECT_FALSE(set_tmplts_list({u"/t"}, true).failed());
  EXPECT_EQ(readBytes(localBase()), "ConfigurationTemplatesLocation=/t\n");

  // A plain file where the directory must go.
  writeBytes(home_.path() + "/.KX/kxlaunch", "not a directory");
  EXPECT_EQ(ENOTDIR, set_tmplts_list({u"/t"}, false).errnoValue);
  EXPECT_EQ(readBytes(home_.path() + "/.KX/kxlaunch"), "not a directory");
}

// The per-user file holds keys of the launcher's own: one that is there
// but cannot be read is never replaced by what little was read of it. An
// unreadable all-users file costs only its entries.
TEST_F(StarterTest, UnreadablePerUserFileIsNeverRewritten) {
  if (rerun_as_ordinary_user()) return;
  const std::string text = "DefaultVersion=8.3\nConfigurationTemplatesLocation=/old\n";
  writeBytes(local(), text);
  writeBytes(allUsers(), "ConfigurationTemplatesLocation=/all\n");
  ASSERT_EQ(0, chmod(local().c_str(), 0200));
  EXPECT_EQ(templates(true, false), "/all");
  FileError error = set_tmplts_list({u"/new"}, false);
  EXPECT_EQ(EACCES, error.errnoValue);
  EXPECT_EQ(local(), utf8(error.path));
  ASSERT_EQ(0, chmod(local().c_str(), 0600));
  EXPECT_EQ(text, readBytes(local()));

  ASSERT_EQ(0, chmod(allUsers().c_str(), 0200));
  EXPECT_FALSE(set_tmplts_list({u"/new"}, false).failed());
  EXPECT_EQ("DefaultVersion=8.3\nConfigurationTemplatesLocation=/new\n", readBytes(local()));
}

}  // namespace
