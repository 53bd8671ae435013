// dpkpack: builds a distribution package from a directory tree, or lists
// the products and members of an existing one.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/member_list.h"
#include "install/package_signature.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/printable.h"
#include "platform/resources.h"
#include "tools/package_builder.h"

namespace {

const char kUsage[] =
    "Usage: dpkpack [options] SOURCE_DIR\n"
    "       dpkpack --kit DIR [--setup PROGRAM] [options] SOURCE_DIR\n"
    "       dpkpack --list PACKAGE\n"
    "\n"
    "Builds a distribution package from the regular files below SOURCE_DIR.\n"
    "Member names are the files' paths relative to SOURCE_DIR, member times\n"
    "their modification times; every member carries the CRC-32 of its bytes,\n"
    "which the installer checks; the whole image is one raw DEFLATE stream.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE     package to write (default: kxq5.dpk)\n"
    "      --kit DIR         lay out a folder ready to ship: the installer\n"
    "                        program DIR/setup with the package DIR/kxq5.dpk\n"
    "      --setup PROGRAM   the installer to copy into the kit (default: the\n"
    "                        setup program beside dpkpack)\n"
    "  -l, --language CODE   start a product description in language CODE, one\n"
    "                        of ru uk en lv lt bg de ro ka kk vi tr; repeat for\n"
    "                        more languages\n"
    "  -p, --product NAME    product name of the current description\n"
    "  -v, --provider NAME   provider name of the current description\n"
    "  -r, --readme PATH     readme of the current description: a file of the\n"
    "                        package, relative to SOURCE_DIR\n"
    "                        (-p, -v and -r before any -l start an en description)\n"
    "  -1, --single-language write the single-language layout (one description,\n"
    "                        always read as en)\n"
    "  -L, --level N         DEFLATE level, 0 (stored) to 9 (default 9)\n"
    "  -F, --fast N          compress with ISA-L's fast compressor at level 0 to 3\n"
    "                        instead: for large kits, several times faster than\n"
    "                        -L 9, packages somewhat larger (where built with it)\n"
    "      --list PACKAGE    print the product descriptions and members of PACKAGE\n"
    "                        with each member's CRC-32, and check them (exit 1\n"
    "                        when one does not match)\n"
    "      --sign SECRETKEY  sign the package with this secret key (made without a\n"
    "                        password: minisign -G -W) into PACKAGE.minisig\n"
    "      --trusted-comment TEXT\n"
    "                        the signature's trusted comment, which the installer\n"
    "                        shows as the signer (default: the time and file name)\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 on success, 1 on a build or read error, 2 on a usage error.\n";

// The interface languages of the installer, the codes -l accepts.
const std::string kLanguages = "ru uk en lv lt bg de ro ka kk vi tr";

int usageError(const std::string& message) {
  fprintf(stderr, "dpkpack: %s\nTry 'dpkpack --help'.\n", message.c_str());
  return 2;
}

// Names and descriptions come from a package that any packer may have
// written: a control character in one is escaped so that it cannot break
// or forge a line of the listing. A backslash is the package's separator
// within a name and stays as it is.
std::string narrow(const stdx::u16string& s) { return narrow_lib(printable_name(s, false)).c_str(); }

// A FILETIME as UTC date and time with its 100-ns fraction.
std::string formatTime(const FILETIME& t) {
  unsigned long long ticks = FileTimeTicks(t);
  time_t seconds = static_cast<time_t>(ticks / kFileTimeTicksPerSecond) -
                   static_cast<time_t>(kFileTimeEpochOffsetSeconds);
  struct tm tm;
  char text[64];
  if (gmtime_r(&seconds, &tm) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    return "?";
  char fraction[16];
  snprintf(fraction, sizeof fraction, ".%07llu", ticks % kFileTimeTicksPerSecond);
  return std::string(text) + fraction;
}

// The errno that a code of the file layer stands for (its mapping read
// backwards), for the system's words; 0 when none does.
int errnoForCode(unsigned code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case ERROR_PATH_NOT_FOUND: return ENOTDIR;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_LOCK_VIOLATION: return EWOULDBLOCK;
    case ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    default: return 0;
  }
}

// Why the package at path could not be read, given the reader's code: in
// the system's words where the system refused. The reader keeps only its
// code, so the package file is asked once more for the errno behind it;
// when the package reads, the image in the temporary directory failed.
std::string packageReadFailure(const std::string& path, FsResult code) {
  if (code == ERROR_INVALID_DATA) return path + ": damaged or not a package";
  // The failing call's own errno, when it gave one, is the reason.
  if (code.errnoValue() != 0) return path + ": " + strerror(code.errnoValue());
  // Not blocking: a pipe or device at path must not hang the listing.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return path + ": " + strerror(errno);
  std::string why;
  struct stat st;
  char byte;
  if (fstat(fd, &st) != 0) why = strerror(errno);
  else if (S_ISDIR(st.st_mode)) why = strerror(EISDIR);
  else if (!S_ISREG(st.st_mode)) why = "not a regular file";
  else if (read(fd, &byte, 1) < 0) why = strerror(errno);
  close(fd);
  if (!why.empty()) return path + ": " + why;

  stdx::u16string tempDir;
  FsResult probe = FileSystem::GetTempPath(tempDir);
  void* handle = INVALID_HANDLE_VALUE;
  if (probe == 0) probe = FileSystem::CreateTempFile(tempDir, handle);
  if (probe == 0) FileSystem::CloseHandle(handle);
  int err = probe != 0 && probe.errnoValue() != 0 ? probe.errnoValue() : errnoForCode(code.code());
  std::string where = tempDir.empty() ? std::string("the temporary directory")
                                      : "the temporary directory " + narrow(tempDir);
  return path + ": cannot be unpacked into " + where + ": " +
         (err != 0 ? strerror(err) : "the file layer failed unexpectedly");
}

int listPackage(const std::string& path) {
  config::InstallData<LZCompressor, FileSystem> reader;
  // The checksums are checked below, member by member, to name the bad ones.
  FsResult code = reader.open(widen_lib(stdx::string(path.c_str())), false);
  if (code != 0) {
    fprintf(stderr, "dpkpack: %s\n", packageReadFailure(path, code).c_str());
    const config::MemberClash& clash = reader.memberClash();
    if (clash.found())
      fprintf(stderr, "dpkpack: %s: the members %s and %s would be one entry of the target directory\n",
              path.c_str(), narrow(clash.first).c_str(), narrow(clash.second).c_str());
    return 1;
  }
  printf("Product descriptions: %zu\n", reader.products.size());
  for (size_t i = 0; i < reader.products.size(); ++i) {
    const config::ProductInfo& p = reader.products[i];
    printf("  [%s] product \"%s\", provider \"%s\", readme \"%s\"\n", narrow(p.language).c_str(),
           narrow(p.productName).c_str(), narrow(p.providerName).c_str(),
           narrow(p.readme).c_str());
  }
  unsigned long long total = 0;
  for (size_t i = 0; i < reader.files.size(); ++i) total += reader.files[i].size;
  printf("Members: %zu, %llu bytes\n", reader.files.size(), total);
  std::vector<unsigned> actuals;
  code = reader.memberChecksums(actuals);
  if (code != 0) {
    fprintf(stderr, "dpkpack: %s\n", packageReadFailure(path, code).c_str());
    return 1;
  }
  size_t withChecksum = 0, bad = 0;
  for (size_t i = 0; i < reader.files.size(); ++i) {
    const config::FileData<FileSystem>& f = reader.files[i];
    char checksum[48] = "   -    ";
    if (f.hasChecksum) {
      ++withChecksum;
      unsigned actual = actuals[i];
      if (actual == f.checksum) {
        snprintf(checksum, sizeof checksum, "%08x", f.checksum);
      } else {
        ++bad;
        snprintf(checksum, sizeof checksum, "%08x BAD, the bytes give %08x", f.checksum, actual);
      }
    }
    printf("  %s %12u %s  %s\n", formatTime(f.lastWriteTime).c_str(), f.size, checksum,
           narrow(f.name).c_str());
  }
  printf("Checksums: %zu of %zu members carry one; %zu do not match\n", withChecksum,
         reader.files.size(), bad);
  if (bad != 0) {
    fprintf(stderr, "dpkpack: %s: damaged: %zu member(s) do not match their checksum\n", path.c_str(), bad);
    return 1;
  }
  return 0;
}

// Fetches the value of option argv[i]; false when it is missing.
bool takeValue(int argc, char** argv, int& i, std::string& value) {
  if (i + 1 >= argc) return false;
  value = argv[++i];
  return true;
}

stdx::u16string wide(const std::string& s) { return widen_lib(stdx::string(s.c_str())); }

// True when output would be written somewhere below source, where a later
// run would pack the old package into the new one.
bool insideSource(const std::string& source, const std::string& output) {
  char* root = realpath(source.c_str(), nullptr);
  if (root == nullptr) return false;
  std::string dir = narrow_lib(directory_of(wide(output))).c_str();
  char* outDir = realpath(dir.c_str(), nullptr);
  bool inside = false;
  if (outDir != nullptr) {
    std::string r = root, o = outDir;
    inside = o == r || o.compare(0, r.size() + 1, r + "/") == 0 || r == "/";
  }
  free(root);
  free(outDir);
  return inside;
}

// The setup program installed beside this one, or empty.
std::string setupBesideMe() {
  stdx::string self = read_link_target("/proc/self/exe");
  if (self.empty()) return std::string();
  std::string setup = std::string(narrow_lib(directory_of(widen_lib(self))).c_str()) + "/setup";
  return access(setup.c_str(), X_OK) == 0 ? setup : std::string();
}

// Creates dir and its missing parents.
bool makeDirs(const std::string& dir, std::string& error) {
  FileError made = create_directories(wide(dir));
  if (!made.failed() || made.errnoValue == 0) return true;  // made, or there already
  error = std::string(narrow_lib(made.path).c_str()) + ": " + strerror(made.errnoValue);
  return false;
}

// Copies the program at from to to, executable, through a new file that
// replaces to only once it is complete.
bool copyProgram(const std::string& from, const std::string& to, std::string& error) {
  FILE* in = fopen(from.c_str(), "rb");
  if (in == nullptr) {
    error = from + ": " + strerror(errno);
    return false;
  }
  std::string fresh = to + ".new";
  FILE* out = fopen(fresh.c_str(), "wb");
  if (out == nullptr) {
    error = fresh + ": " + strerror(errno);
    fclose(in);
    return false;
  }
  char buffer[65536];
  size_t got;
  bool ok = true;
  while (ok && (got = fread(buffer, 1, sizeof buffer, in)) > 0) ok = fwrite(buffer, 1, got, out) == got;
  ok = ok && !ferror(in);
  fclose(in);
  ok = fclose(out) == 0 && ok;
  if (ok) ok = chmod(fresh.c_str(), 0755) == 0 && rename(fresh.c_str(), to.c_str()) == 0;
  if (!ok) {
    error = to + ": " + strerror(errno);
    unlink(fresh.c_str());
  }
  return ok;
}

}  // namespace

// Reads a file of at most maxBytes whole; false with why.
bool readSmallFile(const std::string& path, size_t maxBytes, std::string& text, std::string& why) {
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) {
    why = path + ": " + strerror(errno);
    return false;
  }
  text.clear();
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, in)) != 0 && text.size() <= maxBytes) text.append(buffer, got);
  bool failed = ferror(in) != 0;
  int error = errno;
  fclose(in);
  if (failed) why = path + ": " + strerror(error);
  else if (text.size() > maxBytes) why = path + ": too long for a key file";
  return why.empty();
}

// Writes PACKAGE.minisig for the package at path: its hash signed with key.
// The file appears whole or not at all.
bool signPackage(const std::string& path, const SignatureSecretKey& key, const std::string& comment,
                 std::string& why) {
  FILE* in = fopen(path.c_str(), "rb");
  if (in == nullptr) {
    why = path + ": " + strerror(errno);
    return false;
  }
  PackageHash hash;
  std::vector<unsigned char> buffer(1 << 16);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), in)) != 0) hash.update(buffer.data(), got);
  bool failed = ferror(in) != 0;
  int error = errno;
  fclose(in);
  if (failed) {
    why = path + ": " + strerror(error);
    return false;
  }
  std::string text = hash.sign(key, comment);
  std::string target = path + ".minisig";
  std::string temp = target + ".tmp";
  FILE* out = fopen(temp.c_str(), "wb");
  if (out == nullptr) {
    why = temp + ": " + strerror(errno);
    return false;
  }
  failed = fwrite(text.data(), 1, text.size(), out) != text.size();
  failed = fflush(out) != 0 || failed;
  error = errno;
  failed = fclose(out) != 0 || failed;
  if (!failed && rename(temp.c_str(), target.c_str()) != 0) failed = true;
  if (failed) {
    why = target + ": " + strerror(errno != 0 ? errno : error);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  // Past a file-size limit a write fails with EFBIG, told and cleaned up,
  // rather than the signal ending us with a cut package on disk.
  signal(SIGXFSZ, SIG_IGN);
  package_builder::Options options;
  std::string output = "kxq5.dpk";
  std::string source;
  std::string listPath;
  std::string kitDir;
  std::string setupProgram;
  bool outputGiven = false;
  bool listing = false;
  std::string secretKeyPath, trustedComment;
  bool signing = false, commentGiven = false;
  // Which fields the current description already has, to catch repeats.
  bool haveProduct = false, haveProvider = false, haveReadme = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--list") {
      if (!takeValue(argc, argv, i, listPath)) return usageError("--list needs a package");
      listing = true;
    } else if (arg == "--sign") {
      if (!takeValue(argc, argv, i, secretKeyPath) || secretKeyPath.empty())
        return usageError("--sign needs a secret key file");
      signing = true;
    } else if (arg == "--trusted-comment") {
      if (!takeValue(argc, argv, i, trustedComment)) return usageError("--trusted-comment needs a text");
      // One line: the signature file holds it on a line of its own.
      if (trustedComment.find_first_of("\r\n") != std::string::npos)
        return usageError("the trusted comment must be one line");
      commentGiven = true;
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue(argc, argv, i, output)) return usageError(arg + " needs a file name");
      outputGiven = true;
    } else if (arg == "--kit") {
      if (!takeValue(argc, argv, i, kitDir) || kitDir.empty())
        return usageError("--kit needs a directory");
    } else if (arg == "--setup") {
      if (!takeValue(argc, argv, i, setupProgram) || setupProgram.empty())
        return usageError("--setup needs the installer program");
    } else if (arg == "-l" || arg == "--language") {
      if (!takeValue(argc, argv, i, value) || value.empty())
        return usageError(arg + " needs a language code");
      // A description in a language the installer does not speak would
      // never be shown: "english" or a typo is refused, not packed.
      for (char& c : value) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (get_lang_id_by_lang_code(stdx::string(value.c_str())) == LANG_NONE)
        return usageError("unknown language code " + value + "; the installer speaks " + kLanguages);
      options.products.push_back(config::ProductInfo());
      options.products.back().language = wide(value);
      haveProduct = haveProvider = haveReadme = false;
    } else if (arg == "-p" || arg == "--product" || arg == "-v" || arg == "--provider" ||
               arg == "-r" || arg == "--readme") {
      if (!takeValue(argc, argv, i, value)) return usageError(arg + " needs a value");
      if (options.products.empty()) {
        options.products.push_back(config::ProductInfo());
        options.products.back().language = u"en";
      }
      config::ProductInfo& p = options.products.back();
      bool* have = arg == "-p" || arg == "--product"    ? &haveProduct
                   : arg == "-v" || arg == "--provider" ? &haveProvider
                                                        : &haveReadme;
      if (*have) return usageError(arg + " given twice for one language; start another with -l");
      *have = true;
      stdx::u16string& field = have == &haveProduct    ? p.productName
                               : have == &haveProvider ? p.providerName
                                                       : p.readme;
      field = wide(value);
    } else if (arg == "-1" || arg == "--single-language") {
      options.singleLanguage = true;
    } else if (arg == "-L" || arg == "--level") {
      if (!takeValue(argc, argv, i, value)) return usageError(arg + " needs a number");
      char* end = nullptr;
      long level = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || level < 0 || level > 9)
        return usageError("the level must be a number from 0 to 9");
      options.level = static_cast<int>(level);
      options.fast = false;
    } else if (arg == "-F" || arg == "--fast") {
      if (!takeValue(argc, argv, i, value)) return usageError(arg + " needs a number");
      char* end = nullptr;
      long level = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || level < 0 || level > 3)
        return usageError("the fast level must be a number from 0 to 3");
      options.level = static_cast<int>(level);
      options.fast = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else if (source.empty()) {
      source = arg;
    } else {
      return usageError("only one source directory may be given");
    }
  }

  if (listing) {
    if (!source.empty()) return usageError("--list takes no source directory");
    return listPackage(listPath);
  }
  if (source.empty()) return usageError("no source directory given");
  if (commentGiven && !signing) return usageError("--trusted-comment is for --sign");
  // The key is read before anything is built: a key that cannot sign
  // leaves no unsigned package behind.
  SignatureSecretKey secretKey;
  if (signing) {
    std::string text, why;
    if (!readSmallFile(secretKeyPath, 64 << 10, text, why) || !parse_secret_key(text, secretKey, why)) {
      fprintf(stderr, "dpkpack: %s%s\n", why.find(secretKeyPath) == 0 ? "" : (secretKeyPath + ": ").c_str(),
              why.c_str());
      return 1;
    }
  }
  if (!setupProgram.empty() && kitDir.empty()) return usageError("--setup is for --kit");
  if (!kitDir.empty()) {
    // The installer looks for the package beside itself, under this name.
    if (outputGiven) return usageError("--kit names the package itself; leave out -o");
    if (setupProgram.empty()) setupProgram = setupBesideMe();
    if (setupProgram.empty())
      return usageError("no setup program beside dpkpack; name it with --setup");
    output = kitDir + "/kxq5.dpk";
    struct stat st;
    bool existed = stat(kitDir.c_str(), &st) == 0;
    std::string error;
    if (!makeDirs(kitDir, error)) {
      fprintf(stderr, "dpkpack: %s\n", error.c_str());
      return 1;
    }
    if (insideSource(source, output)) {
      // A refused kit leaves no empty folder behind in the tree.
      if (!existed) rmdir(kitDir.c_str());
      return usageError("the kit " + kitDir + " must not lie inside the source directory");
    }
  }
  if (insideSource(source, output))
    return usageError("the output " + output + " must not lie inside the source directory");

  std::vector<package_builder::SourceFile> files;
  std::string error;
  if (!package_builder::collectFiles(source, files, error)) {
    fprintf(stderr, "dpkpack: %s\n", error.c_str());
    return 1;
  }
  // A line break or another control character in a name would reach every
  // line that prints the name; nobody means one, so such a tree is refused.
  for (const package_builder::SourceFile& f : files) {
    if (has_control_character(f.name)) {
      fprintf(stderr, "dpkpack: the member %s holds a control character (shown escaped); rename it\n",
              narrow(f.name).c_str());
      return 1;
    }
  }
  error = package_builder::checkOptions(options, files);
  if (!error.empty()) return usageError(error);
  // Never write a package that every reader refuses: two names that an
  // install would make one entry of the target directory.
  std::vector<stdx::u16string> memberPaths;
  config::MemberClash clash;
  auto nameOf = [](const package_builder::SourceFile& f) -> const stdx::u16string& { return f.name; };
  if (!config::sortMemberPaths(files, nameOf, memberPaths, clash)) {
    fprintf(stderr, "dpkpack: the members %s and %s would be one entry of the target directory\n",
            narrow(clash.first).c_str(), narrow(clash.second).c_str());
    return 1;
  }
  if (!package_builder::writePackage(output, options, files, error)) {
    fprintf(stderr, "dpkpack: %s\n", error.c_str());
    return 1;
  }
  if (!kitDir.empty() && !copyProgram(setupProgram, kitDir + "/setup", error)) {
    fprintf(stderr, "dpkpack: %s\n", error.c_str());
    return 1;
  }
  if (signing) {
    if (!commentGiven) {
      const char* slash = strrchr(output.c_str(), '/');
      trustedComment = "timestamp:" + std::to_string(static_cast<long long>(time(nullptr))) +
                       "\tfile:" + (slash != nullptr ? slash + 1 : output.c_str()) + "\thashed";
    }
    if (!signPackage(output, secretKey, trustedComment, error)) {
      fprintf(stderr, "dpkpack: %s\n", error.c_str());
      return 1;
    }
  }
  unsigned long long total = 0;
  for (size_t i = 0; i < files.size(); ++i) total += files[i].sizeBytes;
  printf("%s: %zu product description(s), %zu members, %llu bytes\n", output.c_str(),
         options.products.size(), files.size(), total);
  if (!kitDir.empty()) printf("%s: ready to ship (setup and kxq5.dpk)\n", kitDir.c_str());
  return 0;
}
