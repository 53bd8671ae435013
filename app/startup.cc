#include "app/startup.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/locations.h"
#include "install/failure_cause.h"
#include "config/starter.h"
#include "platform/path_separators.h"
#include "platform/resources.h"

namespace {

bool file_exists(const stdx::u16string& path) {
  FileFinder finder;
  return finder.reset(path);
}


}  // namespace

bool regular_file_readable(const stdx::u16string& path) {
  void* handle = INVALID_HANDLE_VALUE;
  if (FileSystem::OpenRegularFile(path, handle) != 0) return false;
  FileSystem::CloseHandle(handle);
  return true;
}

stdx::string read_link_target(const char* link) {
  // readlink neither terminates its text nor says whether it was cut short,
  // so grow the buffer until the text leaves room to spare.
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink(link, buffer.data(), buffer.size());
    if (length <= 0) return stdx::string();
    if (static_cast<size_t>(length) < buffer.size()) return stdx::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

stdx::string directory_of(const stdx::string& path) {
  size_t slash = path.rfind('/');
  if (slash == stdx::string::npos) return path;
  return path.substr(0, slash);
}

stdx::u16string dpk_full_path(bool useCwd) {
  stdx::string directory;
  if (useCwd) {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return stdx::u16string();
    directory = cwd;
    free(cwd);
  } else {
    stdx::string exe = read_link_target("/proc/self/exe");
    if (exe.empty()) return stdx::u16string();
    directory = directory_of(exe);
  }
  return widen_lib(directory + kPackageFileName);
}

void strip_address_schemes(stdx::u16string& path) {
  for (const char16_t* remote : {u"http://", u"https://", u"ftp://"}) {
    if (path.find(remote) != stdx::u16string::npos) path.clear();
  }
  size_t file = path.find(u"file://");
  if (file != stdx::u16string::npos) path.erase(file, 7);
  remove_line_breaks(path);
}

void remove_line_breaks(stdx::u16string& path) {
  replace_all(path, u"\n", u"");
  replace_all(path, u"\r", u"");
}

stdx::u16string entered_target_dir(const stdx::u16string& text) {
  stdx::u16string path = text;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  remove_line_breaks(path);
  return path;
}

stdx::u16string default_template_dir(const std::vector<stdx::u16string>& dirs,
                                     bool (*writable)(const stdx::u16string&)) {
  stdx::u16string target;
  for (const stdx::u16string& dir : dirs) {
    if (writable(dir)) {
      target = dir;
      break;
    }
  }
  if (target.empty()) target = q5_app_data_dir(false) + u"tmplts" + kPathSeparator;
  strip_address_schemes(target);
  return target;
}

LauncherTemplates read_launcher_templates() {
  LauncherTemplates found;
  found.baseConfigExists = file_exists(get_local_config_file_path_base());
  if (file_exists(get_local_config_file_path())) {
    get_tmplts_list(found.dirs, true, false);
  } else if (found.baseConfigExists) {
    get_tmplts_list(found.dirs, true, true);
    found.baseListOnly = !found.dirs.empty();
  }
  return found;
}

FamiliesToWrite families_to_write(bool baseListOnly, bool baseConfigExists) {
  return FamiliesToWrite{!baseListOnly, baseConfigExists};
}

Registration register_template_dir(const stdx::u16string& target,
                                   std::vector<stdx::u16string>& templateDirs, bool baseListOnly,
                                   bool baseConfigExists) {
  stdx::u16string entry = target;
  if (!entry.empty() && (entry.back() == u'/' || entry.back() == u'\\')) entry.pop_back();
  templateDirs.insert(templateDirs.begin(), entry);

  Registration result;
  FamiliesToWrite families = families_to_write(baseListOnly, baseConfigExists);
  const struct {
    bool wanted;
    bool base;
  } writes[] = {{families.ordinary, false}, {families.base, true}};
  for (const auto& write : writes) {
    if (!write.wanted) continue;
    try {
      set_tmplts_list(templateDirs, write.base);
    } catch (...) {
      result.failed = true;
      result.file = write.base ? get_local_config_file_path_base() : get_local_config_file_path();
      result.reason = write_failure_reason(result.file);
      break;
    }
  }
  return result;
}

stdx::u16string write_failure_reason(const stdx::u16string& path) {
  // The writer reports only that it failed; the cause is read off the file
  // system afterwards, which names it for every case a user can mend.
  stdx::string file = narrow_lib(path);
  int error = 0;
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    error = errno;
    if (error == ENOENT) {
      stdx::string folder = directory_of(file);
      if (stat(folder.c_str(), &st) != 0) error = errno;
      else if (!S_ISDIR(st.st_mode)) error = ENOTDIR;
      else if (access(folder.c_str(), W_OK) != 0) error = errno;
      else error = 0;
    }
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else if (access(file.c_str(), W_OK) != 0) {
    error = errno;
  } else {
    stdx::string folder = directory_of(file);
    if (access(folder.c_str(), W_OK) != 0) error = errno;
  }
  if (error == 0) error = EIO;
  // The program's own words, in the language of the window, not the
  // C library's, which follow the process locale.
  return failure_cause_line(stdx::u16string(), error);
}

stdx::u16string registration_message(const Registration& registration) {
  return LoadResString("IDS_ERROR_REGISTER") + u" " + registration.file + u" (" +
         registration.reason + u")";
}

stdx::string nearest_existing_folder(const stdx::u16string& entryText) {
  stdx::u16string text = entered_target_dir(entryText);
  if (text.empty()) return stdx::string();
  stdx::string path = narrow_lib(text);
  if (path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return stdx::string();
    stdx::string base(cwd);
    free(cwd);
    path = base + "/" + path;
  }
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
    if (path == "/") return path;
    path = directory_of(path);
    if (path.empty()) return stdx::string("/");
  }
}

bool temp_space_suffices(unsigned long long packageBytes, unsigned long long freeBytes) {
  // freeBytes / kSpaceReg < packageBytes  <=>  freeBytes < packageBytes * kSpaceReg,
  // without the product ever wrapping.
  return freeBytes / kSpaceReg >= packageBytes;
}

stdx::u16string readme_full_path(const stdx::u16string& target, const stdx::u16string& readme) {
  stdx::u16string path = target;
  if (!path.empty() && path.back() != u'/' && path.back() != u'\\') path += kPathSeparator;
  path += readme;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  return path;
}

stdx::u16string image_space_message(const stdx::u16string& directory, unsigned long long neededBytes,
                                    unsigned long long freeBytes) {
  const unsigned long long kMB = 1u << 20;
  stdx::u16string text = LoadResString("IDS_ERROR_NOSPACE_IMAGE");
  replace_all(text, u"%1", directory);
  replace_all(text, u"%2", widen_lib(stdx::string(std::to_string((neededBytes + kMB - 1) / kMB).c_str())));
  replace_all(text, u"%3", widen_lib(stdx::string(std::to_string(freeBytes / kMB).c_str())));
  return text;
}

const char* run_startup_checks(bool useCwd, PackageReader& reader, StartupInfo& info) {
  stdx::u16string path = dpk_full_path(useCwd);
  if (path.empty() || !regular_file_readable(path)) return "IDS_ERROR_NOSOURCE";
  info.packagePath = path;

  info.launcher = read_launcher_templates();
  info.targetPath = default_template_dir(info.launcher.dirs, isWritePermitted);

  // The image goes into the temporary directory: one that cannot take it
  // is no fault of the package, and the user must learn which and why.
  stdx::u16string tempDir;
  void* probe = INVALID_HANDLE_VALUE;
  unsigned code = FileSystem::GetTempPath(tempDir);
  if (code == 0) code = FileSystem::CreateTempFile(tempDir, probe);
  if (code != 0) {
    info.tempErrno = lastErrNoFor(code);
    info.tempDir = tempDir;
    while (info.tempDir.size() > 1 && info.tempDir.back() == u'/') info.tempDir.pop_back();
    return "IDS_ERROR_TMPDIR";
  }
  FileSystem::CloseHandle(probe);

  unsigned long long packageBytes = 0, freeBytes = 0;
  if (FileSystem::GetFileSize64(path, &packageBytes) == 0 &&
      FileSystem::GetFreeSpaceTmpDir64(&freeBytes) == 0 &&
      !temp_space_suffices(packageBytes, freeBytes)) {
    return "IDS_ERROR_NOSPACE";
  }

  // The space check above is only an estimate: the image may still not
  // fit, and that is no damage of the package. Only the header is waited
  // for; the rest inflates while the user reads the first pages.
  code = reader.openHeader(path);
  if (code == ERROR_DISK_FULL) {
    // Once the header is read the image's size is known: say how far off it is.
    const PackageReader::Space& space = reader.imageSpace();
    if (space.neededBytes != 0)
      info.errorText = image_space_message(space.directory, space.neededBytes, space.freeBytes);
    return "IDS_ERROR_NOSPACE";
  }
  if (code != 0) return "IDS_ERROR_DAMAGEDSOURCE";
  return nullptr;
}

stdx::u16string startup_error_text(const char* key, const StartupInfo& info, bool useCwd) {
  if (!info.errorText.empty()) return info.errorText;
  stdx::u16string text = LoadResString(key);
  if (strcmp(key, "IDS_ERROR_NOSOURCE") != 0) return text;
  stdx::string folder = directory_of(narrow_lib(dpk_full_path(useCwd)));
  if (folder.empty()) return text;
  return text + u"\n" + LoadResString("IDS_ERROR_SEARCHED") + u" " + widen_lib(folder);
}
