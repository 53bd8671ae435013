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

// The key of the template directories in the launcher's configuration
// file; every other key is carried through when the per-user file is
// rewritten.
constexpr const char16_t* kConfigFileFieldTemplatesLocation = u"ConfigurationTemplatesLocation";

class Starter {
 public:
  // base chooses the family: false for the ordinary files, true for the
  // base per-user file with the ordinary per-user file as its all-users file.
  explicit Starter(bool base);

  // Reads both files of the family. A missing file contributes nothing,
  // and so does one that could not be read whole; the first such failure
  // is returned. Reading adds to what is held, so call it once.
  FileError loadConfig();

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

  // Reads the per-user file, makes list (without duplicates) its template
  // directories, and saves it. An empty list removes the key. A per-user
  // file that exists but could not be read whole is never rewritten: what
  // was not read would be lost. Returns that read failure, or the write's.
  // Another program may write the file meanwhile: the rewrite is only put
  // in place over the very text it was made from, and is made again from
  // the new text otherwise, so that program's lines are kept.
  FileError setTmpltsList(const std::vector<stdx::u16string>& list);

  // Writes the per-user configuration to the per-user file, creating its
  // directory when it is missing; the write's failure, or the directory's
  // when the write failed for want of it.
  FileError saveLocalConfigFile();

  // The per-user file's path in this family.
  stdx::u16string localPath() const;

  const ConfigFile& localConfig() const { return localConfig_; }
  const ConfigFile& allUsersConfig() const { return allUsersConfig_; }

 private:
  stdx::u16string allUsersPath() const;
  FileError save(const FileStamp* expected, int& replaced);

  ConfigFile localConfig_;     // the per-user file; the only one ever written
  ConfigFile allUsersConfig_;  // never written
  const bool base_;
};

// Serialises the read-modify-write of per-user configuration files
// between the runs of this program: each file is guarded by a lock on
// "<file>.lock" beside it (made when missing, never removed), taken in the
// order the files are added and held until the object goes. A file system
// that has no locks goes without; the rewrite still never loses another
// writer's text (setTmpltsList).
class ConfigLocks {
 public:
  ConfigLocks() = default;
  ~ConfigLocks();
  ConfigLocks(const ConfigLocks&) = delete;
  ConfigLocks& operator=(const ConfigLocks&) = delete;

  // Waits up to timeoutMs for the lock of configPath, making its folder
  // when missing (the file is about to be written there). The failure
  // names what could not be made or opened; EBUSY when the wait ran out.
  FileError add(const stdx::u16string& configPath, int timeoutMs = 10000);

 private:
  std::vector<int> held_;
};

// A Starter of the family base, used once for getTmpltsList(list, includeLocal).
void get_tmplts_list(std::vector<stdx::u16string>& list, bool includeLocal, bool base);
// A Starter of the family base, used once for setTmpltsList(list).
FileError set_tmplts_list(const std::vector<stdx::u16string>& list, bool base);
