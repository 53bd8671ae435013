#include "config/starter.h"

#include <set>

#include "config/locations.h"
#include "platform/file_system.h"
#include "platform/path_separators.h"

namespace {

struct LessNocase {
  bool operator()(const stdx::u16string& a, const stdx::u16string& b) const {
    return compare_nocase(a, b) < 0;
  }
};

typedef std::set<stdx::u16string, LessNocase> NocaseSet;

// Everything before the last separator of either kind; the whole path when
// it has none.
stdx::u16string directoryPart(const stdx::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  return cut == stdx::u16string::npos ? path : path.substr(0, cut);
}

bool fileExists(const stdx::u16string& path) {
  FileFinder finder;
  return finder.reset(path);
}

}  // namespace

Starter::Starter(bool base) : base_(base) {}

stdx::u16string Starter::localPath() const {
  return base_ ? get_local_config_file_path_base() : get_local_config_file_path();
}

stdx::u16string Starter::allUsersPath() const {
  return base_ ? get_allusers_config_file_path_base() : get_allusers_config_file_path();
}

void Starter::loadConfig() {
  // Neither file is required: a launcher that was never started has none.
  try {
    read_config_file(allUsersPath(), allUsersConfig_);
  } catch (...) {
  }
  try {
    read_config_file(localPath(), localConfig_);
  } catch (...) {
  }
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

void Starter::setTmpltsList(const std::vector<stdx::u16string>& list) {
  loadConfig();  // so that the other keys of the per-user file survive
  std::vector<stdx::u16string> unique(list);
  removePathDuplicates(unique);
  localConfig_.setValues(kConfigFileFieldTemplatesLocation, unique);
  saveLocalConfigFile();
}

void Starter::saveLocalConfigFile() {
  const stdx::u16string path = localPath();
  // CreateDirectory also makes missing parents; when it fails, the write
  // below fails and says so.
  if (!fileExists(path)) FileSystem::CreateDirectory(directoryPart(path));
  try {
    write_config_file(path, localConfig_);
  } catch (...) {
    // The directory may have been removed between the test and the write.
    FileSystem::CreateDirectory(directoryPart(path));
    write_config_file(path, localConfig_);
  }
}

void get_tmplts_list(std::vector<stdx::u16string>& list, bool includeLocal, bool base) {
  Starter starter(base);
  starter.getTmpltsList(list, includeLocal);
}

void set_tmplts_list(const std::vector<stdx::u16string>& list, bool base) {
  Starter starter(base);
  starter.setTmpltsList(list);
}
