#include "config/locations.h"

#include "platform/file_system.h"
#include "platform/path_separators.h"
#include "platform/utils.h"

namespace {

stdx::u16string join(const stdx::u16string& dir, const char16_t* name) {
  return dir + kPathSeparator + name;
}

}  // namespace

stdx::u16string app_data_dir(bool) {
  return home_dir() + kPathSeparator + u".kxq5" + kPathSeparator;
}

stdx::u16string q5_app_data_dir(bool allUsers) {
  return app_data_dir(allUsers) + u"KX" + kPathSeparator + u"kxq5" + kPathSeparator;
}

stdx::u16string get_local_config_file_dir() { return join(home_dir(), kStartrDir); }

stdx::u16string get_local_config_file_path() {
  return join(get_local_config_file_dir(), kStartFileName);
}

stdx::u16string get_local_config_file_dir_base() { return join(home_dir(), kStartrDirt); }

stdx::u16string get_local_config_file_path_base() {
  return join(get_local_config_file_dir_base(), kStartFileName);
}

// app_data_dir already ends with the separator.
stdx::u16string get_allusers_config_file_dir() { return app_data_dir(true) + kStartrDir; }

stdx::u16string get_allusers_config_file_path() {
  return join(get_allusers_config_file_dir(), kStartFileName);
}

stdx::u16string get_allusers_config_file_path_base() {
  return join(get_local_config_file_dir(), kStartFileName);
}

bool isWritePermitted(const stdx::u16string& dir) {
  const stdx::u16string prefix(u"KX", 2);
  stdx::u16string probe;
  if (FileSystem::GetTempFileName(dir, prefix, probe) != ERROR_SUCCESS) return false;
  FileSystem::DeleteFile(probe);
  return true;
}
