#include "platform/test_util.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

int openUp(const char* path, const struct stat* st, int, struct FTW*) {
  if (S_ISDIR(st->st_mode)) chmod(path, 0755);
  return 0;
}

}  // namespace

ScratchDir::ScratchDir() {
  // Not $TMPDIR: tests point it into their own scratch directories.
  std::string pattern = "/tmp/setup-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed: " << pattern;
  path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  nftw(path_.c_str(), openUp, 16, FTW_PHYS);
  nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

stdx::u16string ScratchDir::u16(const std::string& relative) const {
  return ::u16(path_ + "/" + relative);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}

stdx::u16string u16(const std::string& utf8Text) {
  return widen_lib(stdx::string(utf8Text.data(), utf8Text.size()));
}

std::string utf8(const stdx::u16string& text) {
  stdx::string narrow = narrow_lib(text);
  return std::string(narrow.data(), narrow.size());
}

std::string readBytes(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  std::string bytes;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  fclose(f);
  return bytes;
}

void makeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    mkdir(path.substr(0, i).c_str(), 0777);
  }
}

void writeBytes(const std::string& path, const std::string& bytes) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash != 0) makeDirs(path.substr(0, slash));
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size()) << path;
  EXPECT_EQ(fclose(f), 0) << path;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

bool rerun_as_ordinary_user() {
  if (geteuid() != 0) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::vector<char> exe(4096);
  ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  if (n <= 0) {
    ADD_FAILURE() << "cannot find the test program";
    return true;
  }
  exe[static_cast<size_t>(n)] = '\0';
  pid_t pid = fork();
  if (pid == 0) {
    // The parent's working directory and TMPDIR may be scratch folders only
    // root may enter.
    if (chdir("/") != 0) _exit(126);
    setenv("TMPDIR", "/tmp", 1);
    execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", exe.data(),
           filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "cannot start the test as an ordinary user";
    return true;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "as user 65534 (setpriv; 127: setpriv or the program could not be started): status "
      << status;
  return true;
}

namespace {

void snapshotInto(const std::string& root, const std::string& relative, TreeSnapshot& out) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) return;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string full = root + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    TreeEntry entry;
    entry.mtime = 0;
    if (S_ISDIR(st.st_mode)) {
      entry.kind = 'd';
      out[rel] = entry;
      snapshotInto(root, rel, out);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      entry.kind = 'l';
      entry.content.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
      out[rel] = entry;
    } else {
      entry.kind = 'f';
      entry.content = readBytes(full);
      entry.mtime = st.st_mtime;
      out[rel] = entry;
    }
  }
  closedir(dir);
}

}  // namespace

TreeSnapshot snapshotTree(const std::string& root) {
  TreeSnapshot out;
  snapshotInto(root, std::string(), out);
  return out;
}
