#include "config/starter.h"

#include <set>

#include "config/locations.h"
#include "platform/path_separators.h"

namespace {

struct LessNocase {
  bool operator()(const stdx::u16string& a, const stdx::u16string& b) const {
    return compare_nocase(a, b) < 0;
  }
};

typedef std::set<stdx::u16string, LessNocase> NocaseSet;

}  // namespace

Starter::Starter(bool base) : base_(base) {}

stdx::u16string Starter::localPath() const {
  return base_ ? get_local_config_file_path_base() : get_local_config_file_path();
}

stdx::u16string Starter::allUsersPath() const {
  return base_ ? get_allusers_config_file_path_base() : get_allusers_config_file_path();
}

// Neither file is required: a launcher that was never started has none.
// A file that failed part way is dropped whole rather than half used.
static FileError readOrNothing(const stdx::u16string& path, ConfigFile& config) {
  FileError error = read_config_file(path, config);
  if (error.absent()) return FileError();
  if (error.failed()) config.items.clear();
  return error;
}

FileError Starter::loadConfig() {
  FileError allUsers = readOrNothing(allUsersPath(), allUsersConfig_);
  FileError local = readOrNothing(localPath(), localConfig_);
  return allUsers.failed() ? allUsers : local;
}

void Starter::getConfigFilesValues(bool localFirst, const char16_t* key,
                                   std::vector<stdx::u16string>& out, bool noLocalLast) const {
  const ConfigFile* consulted[2] = {nullptr, nullptr};
  if (localFirst) {
    consulted[0] = &localConfig_;
    consulted[1] = &allUsersConfig_;
  } else {
    consulted[0] = &allUsersConfig_;
    if (!noLocalLast) consulted[1] = &localConfig_;
  }
  const stdx::u16string keyText(key);
  NocaseSet taken;
  for (const ConfigFile* config : consulted) {
    if (config == nullptr) continue;
    const std::vector<stdx::u16string>* values = config->findValues(keyText);
    if (values == nullptr) continue;
    for (const stdx::u16string& value : *values)
      if (taken.insert(value).second) out.push_back(value);
  }
}

void Starter::replaceWrongSeparators(std::vector<stdx::u16string>& list) {
  const stdx::u16string bad(kBadPathSeparator), good(kPathSeparator);
  for (stdx::u16string& entry : list) replace_all(entry, bad, good);
}

void Starter::removePathDuplicates(std::vector<stdx::u16string>& list) {
  NocaseSet seen;
  std::vector<stdx::u16string> kept;
  kept.reserve(list.size());
  for (stdx::u16string& entry : list) {
    stdx::u16string form = entry;
    if (!form.empty() && form.back() != u'/' && form.back() != u'\\') form += kPathSeparator;
    if (seen.insert(form).second) kept.push_back(std::move(entry));
  }
  list.swap(kept);
}

void Starter::getTmpltsList(std::vector<stdx::u16string>& list, bool includeLocal) {
  loadConfig();
  // Without includeLocal only the all-users values count, so the per-user
  // ones must not be consulted last either.
  getConfigFilesValues(includeLocal, kConfigFileFieldTemplatesLocation, list, !includeLocal);
  replaceWrongSeparators(list);
  removePathDuplicates(list);
}

FileError Starter::setTmpltsList(const std::vector<stdx::u16string>& list) {
  // Only the per-user file is written, so only it must be read whole: the
  // other keys in it survive the rewrite.
  localConfig_.items.clear();
  FileError read = readOrNothing(localPath(), localConfig_);
  if (read.failed()) return read;
  std::vector<stdx::u16string> unique(list);
  removePathDuplicates(unique);
  localConfig_.setValues(kConfigFileFieldTemplatesLocation, unique);
  return saveLocalConfigFile();
}

FileError Starter::saveLocalConfigFile() {
  const stdx::u16string path = localPath();
  const stdx::u16string folder = directory_of(path);
  FileError written = write_config_file(path, localConfig_);
  if (!written.absent()) return written;
  // The folder is missing (a launcher that never ran): make it, missing
  // parents too, and write again. When the folder cannot be made, that is
  // the reason to give.
  FileError made = create_directories(folder);
  if (made.failed() && made.errnoValue != 0) return made;
  return write_config_file(path, localConfig_);
}

void get_tmplts_list(std::vector<stdx::u16string>& list, bool includeLocal, bool base) {
  Starter starter(base);
  starter.getTmpltsList(list, includeLocal);
}

FileError set_tmplts_list(const std::vector<stdx::u16string>& list, bool base) {
  Starter starter(base);
  return starter.setTmpltsList(list);
}
