#include "app/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/package_trust.h"
#include "config/locations.h"
#include "config/starter.h"
#include "install/failure_words.h"
#include "platform/file_io.h"
#include "platform/path_separators.h"
#include "platform/resources.h"
#include "platform/utils.h"

bool regular_file_readable(const stdx::u16string& path) {
  void* handle = INVALID_HANDLE_VALUE;
  if (FileSystem::OpenRegularFile(path, handle) != 0) return false;
  FileSystem::CloseHandle(handle);
  return true;
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
    directory = narrow_lib(directory_of(widen_lib(exe)));
    if (directory == "/") directory.clear();  // the name brings its own "/"
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
  remove_line_breaks(path);
  replace_all(path, kBadPathSeparator, kPathSeparator);
  if (path.empty()) return path;
  // "~" is the shell's word for the home directory, and what a user types
  // means it; as a name of its own it would make a folder called "~".
  if (path[0] == u'~' && (path.size() == 1 || path[1] == u'/')) {
    stdx::u16string home = home_dir();
    if (!home.empty()) path = strip_trailing_separators(home) + path.substr(1);
  }
  // The launcher does not run in our working directory: a relative entry
  // would be found elsewhere, or nowhere.
  if (path[0] != u'/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd != nullptr) {
      stdx::u16string base = widen_lib(stdx::string(cwd));
      free(cwd);
      path = join_path(base, path);
    }
  }
  return path;
}

stdx::u16string default_template_dir(const std::vector<stdx::u16string>& dirs,
                                     bool (*writable)(const stdx::u16string&)) {
  // Each entry is probed as it would be installed into: "~/t" is a folder
  // in the home directory, not one named "~" here.
  for (const stdx::u16string& dir : dirs) {
    stdx::u16string candidate = dir;
    strip_address_schemes(candidate);
    candidate = entered_target_dir(candidate);
    if (writable(candidate.empty() ? dir : candidate)) return candidate;
  }
  return entered_target_dir(q5_app_data_dir(false) + u"tmplts" + kPathSeparator);
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
                                   std::vector<stdx::u16string>& templateDirs) {
  Registration result;
  // The files to write are known only from what they hold; they are read
  // again once locked, and a family that turns out wanted then is locked
  // too (folders are made only for files that will be written).
  ConfigLocks locks;
  bool locked[2] = {false, false};
  LauncherTemplates now = read_launcher_templates();
  FamiliesToWrite families = families_to_write(now.baseListOnly, now.baseConfigExists);
  const stdx::u16string entry = strip_trailing_separators(target);
  templateDirs = now.dirs;
  templateDirs.insert(templateDirs.begin(), entry);
  for (int pass = 0; pass < 2; ++pass) {
    const bool wanted[2] = {families.ordinary, families.base};
    bool added = false;
    for (int i = 0; i < 2; ++i) {
      if (!wanted[i] || locked[i]) continue;
      stdx::u16string file = i == 1 ? get_local_config_file_path_base() : get_local_config_file_path();
      FileError error = locks.add(file);
      if (error.failed()) {
        result.failed = true;
        result.file = file;
        result.errnoValue = error.errnoValue != 0 ? error.errnoValue : EIO;
        result.reason = failure_cause_line(stdx::u16string(), result.errnoValue);
        return result;
      }
      locked[i] = added = true;
    }
    if (!added && pass > 0) break;
    now = read_launcher_templates();
    families = families_to_write(now.baseListOnly, now.baseConfigExists);
    templateDirs = now.dirs;
    templateDirs.insert(templateDirs.begin(), entry);
  }

  const struct {
    bool wanted;
    bool base;
  } writes[] = {{families.ordinary, false}, {families.base, true}};
  for (const auto& write : writes) {
    if (!write.wanted) continue;
    FileError error = set_tmplts_list(templateDirs, write.base);
    if (!error.failed()) continue;
    result.failed = true;
    result.file = write.base ? get_local_config_file_path_base() : get_local_config_file_path();
    result.errnoValue = error.errnoValue != 0 ? error.errnoValue : EIO;
    // In the interface language where the program has words for it.
    result.reason = failure_cause_line(stdx::u16string(), result.errnoValue);
    break;
  }
  return result;
}

bool names_folder(stdx::u16string entry, const stdx::u16string& target) {
  if (strip_trailing_separators(entry) == target) return true;
  strip_address_schemes(entry);
  entry = entered_target_dir(entry);
  return !entry.empty() && strip_trailing_separators(entry) == target;
}

Registration unregister_template_dir(const stdx::u16string& target, bool& listed) {
  Registration result;
  listed = false;
  ConfigLocks locks;
  auto failed = [&result](const stdx::u16string& file, int errnoValue) {
    result.failed = true;
    result.file = file;
    result.errnoValue = errnoValue != 0 ? errnoValue : EIO;
    result.reason = failure_cause_line(stdx::u16string(), result.errnoValue);
    return result;
  };
  for (bool base : {false, true}) {
    stdx::u16string file = base ? get_local_config_file_path_base() : get_local_config_file_path();
    // Only a file there can list the folder; none is made.
    if (!file_exists(file)) continue;
    FileError error = locks.add(file);
    if (error.failed()) return failed(file, error.errnoValue);
    Starter starter(base);
    // Only the per-user file is written: the other one may well be missing.
    error = starter.loadConfig();
    if (error.failed() && !error.absent() && error.path == file) return failed(file, error.errnoValue);
    const std::vector<stdx::u16string>* values = starter.localConfig().findValues(kConfigFileFieldTemplatesLocation);
    if (values == nullptr) continue;
    std::vector<stdx::u16string> left;
    for (const stdx::u16string& value : *values)
      if (!names_folder(value, target)) left.push_back(value);
    if (left.size() == values->size()) continue;
    listed = true;
    error = set_tmplts_list(left, base);
    if (error.failed()) return failed(file, error.errnoValue);
  }
  return result;
}

stdx::u16string registration_message(const Registration& registration) {
  return registration_failure_text(registration.file, registration.reason);
}

stdx::string nearest_existing_folder(const stdx::u16string& entryText) {
  stdx::u16string text = entered_target_dir(entryText);
  if (text.empty()) return stdx::string();
  stdx::string path = narrow_lib(text);
  if (path[0] != '/') return stdx::string();  // no working directory to start from
  for (;;) {
    path = narrow_lib(strip_trailing_separators(widen_lib(path)));
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
    if (path == "/") return path;
    path = narrow_lib(directory_of(widen_lib(path)));
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
  return image_space_text(directory, neededBytes, freeBytes);
}

namespace {

// A directory the process may make entries in, by its effective ids, as
// the system answers without anything being written: 0 or the errno.
int writable_by_asking(const stdx::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

bool writable_without_probe(const stdx::u16string& dir) {
  return writable_by_asking(narrow_lib(dir)) == 0;
}

// Everything the start-up checks judge before the package is opened. A
// run that writes nothing (writeProbes false) judges the folders by asking
// the system; the others make a probe file, the surest test there is.
const char* check_before_package(bool useCwd, StartupInfo& info, bool writeProbes) {
  stdx::u16string path = dpk_full_path(useCwd);
  if (path.empty()) return "IDS_ERROR_NOSOURCE";
  // Only a package that is not there is "not found": one that is there but
  // cannot be read (permissions, a read error) is named with the reason.
  void* package = INVALID_HANDLE_VALUE;
  FsResult opened = FileSystem::OpenRegularFile(path, package);
  if (opened != 0) {
    int err = opened.errnoValue();
    if (err != 0 && err != ENOENT) info.errorText = package_read_line(path, err);
    return "IDS_ERROR_NOSOURCE";
  }
  FileSystem::CloseHandle(package);  // only opened to see that it can be
  info.packagePath = path;

  // Who signed the package is settled before anything is written, even
  // the probe of the temporary directory.
  if (info.trust != nullptr && !info.trust->prepare(path)) {
    info.errorText = info.trust->refusal();
    return "IDS_SIG_BAD";
  }

  info.launcher = read_launcher_templates();
  info.targetPath =
      default_template_dir(info.launcher.dirs, writeProbes ? isWritePermitted : writable_without_probe);

  // The image goes into the temporary directory: one that cannot take it
  // is no fault of the package, and the user must learn which and why.
  stdx::u16string tempDir;
  void* probe = INVALID_HANDLE_VALUE;
  FsResult code = FileSystem::GetTempPath(tempDir);
  int refused = 0;
  if (code != 0) refused = code.errnoValue();
  else if (!writeProbes) refused = writable_by_asking(narrow_lib(tempDir));
  else if ((code = FileSystem::CreateTempFile(tempDir, probe)) != 0) refused = code.errnoValue();
  else FileSystem::CloseHandle(probe);
  if (code != 0 || refused != 0) {
    info.tempErrno = refused;
    info.tempDir = strip_trailing_separators(tempDir);
    return "IDS_ERROR_TMPDIR";
  }

  unsigned long long packageBytes = 0, freeBytes = 0;
  if (FileSystem::GetFileSize64(path, &packageBytes) == 0 &&
      FileSystem::GetFreeSpaceTmpDir64(&freeBytes) == 0 &&
      !temp_space_suffices(packageBytes, freeBytes)) {
    // Named with the folder and both sizes, as when the image itself does
    // not fit later, so that the user knows where to make room and how much.
    unsigned long long needed = packageBytes <= ~0ull / kSpaceReg ? packageBytes * kSpaceReg : ~0ull;
    info.errorText = image_space_message(strip_trailing_separators(tempDir), needed, freeBytes);
    return "IDS_ERROR_NOSPACE";
  }
  return nullptr;
}

}  // namespace

const char* run_readonly_checks(bool useCwd, StartupInfo& info) {
  return check_before_package(useCwd, info, false);
}

const char* run_startup_checks(bool useCwd, PackageReader& reader, StartupInfo& info) {
  const char* refused = check_before_package(useCwd, info, true);
  if (refused != nullptr) return refused;

  // The space check above is only an estimate: the image may still not
  // fit, and that is no damage of the package. Only the header is waited
  // for; the rest inflates while the user reads the first pages.
  if (info.trust != nullptr) reader.checkSignature(info.trust->check());
  FsResult code = reader.openHeader(info.packagePath);
  const PackageReader::Space& space = reader.imageSpace();
  if (code == ERROR_DISK_FULL && (space.neededBytes != 0 || code.errnoValue() == 0)) {
    // Once the header is read the image's size is known: say how far off it is.
    if (space.neededBytes != 0)
      info.errorText = image_space_message(space.directory, space.neededBytes, space.freeBytes);
    return "IDS_ERROR_NOSPACE";
  }
  if (code == 0) return nullptr;
  // Only bad bytes make the package damaged: a file the system refused is
  // named, with the reason.
  config::ImageFailure failure = reader.failureOf(code);
  if (failure.side == config::ImageFailure::kTempDir) {
    info.tempDir = strip_trailing_separators(failure.path);
    info.tempErrno = code.errnoValue();
    return "IDS_ERROR_TMPDIR";
  }
  if (failure.side == config::ImageFailure::kPackageFile) {
    info.errorText = package_read_line(failure.path, code.errnoValue());
    return "IDS_ERROR_NOSOURCE";
  }
  if (reader.memberClash().found()) info.errorText = damaged_package_text(reader.memberClash());
  if (info.trust != nullptr) {
    stdx::u16string refusal = info.trust->refusalOnDamage(info.packagePath);
    if (!refusal.empty()) {
      info.errorText = refusal;
      return "IDS_SIG_BAD";
    }
  }
  return "IDS_ERROR_DAMAGEDSOURCE";
}

stdx::u16string package_failure_text(PackageReader& reader, FsResult code) {
  return image_failure_text(reader.failureOf(code));
}

stdx::u16string damaged_package_text(const config::MemberClash& clash) {
  return damaged_package_words(clash.first, clash.second);
}

stdx::u16string startup_error_text(const char* key, const StartupInfo& info, bool useCwd) {
  if (!info.errorText.empty()) return info.errorText;
  if (strcmp(key, "IDS_ERROR_TMPDIR") == 0) return temp_dir_line(info.tempDir, info.tempErrno);
  if (strcmp(key, "IDS_ERROR_NOSOURCE") != 0) return LoadResString(key);
  stdx::u16string package = dpk_full_path(useCwd);
  return package_not_found_text(package.empty() ? package : directory_of(package));
}
