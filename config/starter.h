// The launcher's list of template directories: read and merged from the
// all-users and the per-user configuration file of one family, and written
// back into the per-user file with every other key kept.
//
// A Starter lives for one call (get_tmplts_list or set_tmplts_list) on the
// user-interface thread; the files on disk are the only state that
// outlives it.
#pragma once

#include <vector>

#include "config/config_file.h"
#include "platform/stdx_string.h"

// Keys of the launcher configuration file. Only the first is read and
// written; the others are carried through when the per-user file is
// rewritten.
constexpr const char16_t* kConfigFileFieldTemplatesLocation = u"ConfigurationTemplatesLocation";
constexpr const char16_t* kConfigFileFieldInstallComponents = u"InstallComponents";
constexpr const char16_t* kConfigFileFieldCommonCfgLocation = u"CommonCfgLocation";
constexpr const char16_t* kConfigFileFieldDistributionFolder = u"DistributiveLocation";
constexpr const char16_t* kConfigFileFieldInstalledFolder = u"InstalledLocation";
constexpr const char16_t* kConfigFileFieldCommonBase = u"CommonInfoBases";
constexpr const char16_t* kConfigFileFieldDefaultVersion = u"DefaultVersion";

class Starter {
 public:
  // base chooses the family: false for the ordinary files, true for the
  // base per-user file with the ordinary per-user file as its all-users file.
  explicit Starter(bool base);

  // Reads both files of the family. A missing or unreadable file
  // contributes nothing. Reading adds to what is held, so call it once.
  void loadConfig();

  // Appends to out the values of key, each once (ASCII case ignored), from
  // the per-user then the all-users configuration when localFirst is set;
  // otherwise from the all-users one, followed by the per-user one unless
  // noLocalLast is set. Entries already in out stay in front and are not
  // compared.
  void getConfigFilesValues(bool localFirst, const char16_t* key,
                            std::vector<stdx::u16string>& out, bool noLocalLast) const;

  // Rewrites every "\" of every entry to "/".
  static void replaceWrongSeparators(std::vector<stdx::u16string>& list);
  // Keeps the first of the entries that differ only in ASCII case or in a
  // trailing separator, in its place; entries are not changed.
  static void removePathDuplicates(std::vector<stdx::u16string>& list);

  // Loads the files and appends the template directories to list: the
  // per-user ones first and then the all-users ones when includeLocal is
  // set, else the all-users ones only; then the whole list has its
  // separators rewritten and its duplicates removed.
  void getTmpltsList(std::vector<stdx::u16string>& list, bool includeLocal);

  // Loads the files, makes list (without duplicates) the per-user file's
  // template directories, and saves that file. An empty list removes the
  // key. Throws the codes of write_config_file.
  void setTmpltsList(const std::vector<stdx::u16string>& list);

  // Writes the per-user configuration to the per-user file, creating its
  // directory when the file is missing. A failed write is tried once more
  // after creating the directory again; the second failure's code (the int
  // 1 or 2 of write_config_file) is thrown.
  void saveLocalConfigFile();

  const ConfigFile& localConfig() const { return localConfig_; }
  const ConfigFile& allUsersConfig() const { return allUsersConfig_; }

 private:
  stdx::u16string localPath() const;
  stdx::u16string allUsersPath() const;

  ConfigFile localConfig_;     // the per-user file; the only one ever written
  ConfigFile allUsersConfig_;  // never written
  const bool base_;
};

// A Starter of the family base, used once for getTmpltsList(list, includeLocal).
void get_tmplts_list(std::vector<stdx::u16string>& list, bool includeLocal, bool base);
// A Starter of the family base, used once for setTmpltsList(list); the
// writer's int codes pass through to the caller.
void set_tmplts_list(const std::vector<stdx::u16string>& list, bool base);
