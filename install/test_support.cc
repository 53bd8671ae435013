#include "install/test_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/resources.h"
#include <sstream>

namespace test_support {

stdx::u16string resourceText(const char* key) { return LoadResString(key); }

void setModificationTime(const std::string& path, time_t seconds) {
  struct timeval tv[2];
  tv[0].tv_sec = tv[1].tv_sec = seconds;
  tv[0].tv_usec = tv[1].tv_usec = 0;
  ASSERT_EQ(0, utimes(path.c_str(), tv)) << path;
}

time_t modificationTime(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return st.st_mtime;
}

bool runFilter(const char* const* argv, const std::string& input, std::string& output) {
  char inPath[] = "/tmp/install_test_inXXXXXX";
  int inFd = mkstemp(inPath);
  if (inFd < 0) return false;
  bool ok = write(inFd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(inFd);
  char outPath[] = "/tmp/install_test_outXXXXXX";
  int outFd = mkstemp(outPath);
  if (outFd < 0 || !ok) {
    unlink(inPath);
    if (outFd >= 0) {
      close(outFd);
      unlink(outPath);
    }
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(inPath, O_RDONLY);
    dup2(in, 0);
    dup2(outFd, 1);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(outFd);
  int status = 0;
  ok = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (ok) output = readBytes(outPath);
  unlink(inPath);
  unlink(outPath);
  return ok;
}

FILETIME fileTime(time_t seconds, unsigned fractionTicks) {
  return FileTimeFromTicks(FileTimeTicks(package_format::fileTimeFromPosix(seconds, 0)) + fractionTicks);
}

std::string pseudoRandomBytes(size_t n, unsigned seed) {
  std::string out(n, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

config::ProductInfo product(const char* language, const char* name, const char* provider,
                            const char* readme) {
  config::ProductInfo p;
  p.language = u16(language);
  p.productName = u16(name);
  p.providerName = u16(provider);
  p.readme = u16(readme);
  return p;
}

std::string makeImage(const std::vector<config::ProductInfo>& products, bool singleLanguage,
                      const std::vector<TestMember>& members) {
  std::vector<package_format::MemberRecord> records;
  std::string data;
  for (size_t i = 0; i < members.size(); ++i) {
    package_format::MemberRecord r;
    r.name = u16(members[i].name);
    r.lastWriteTime = members[i].time;
    r.offset = static_cast<uint32_t>(data.size());
    r.size = static_cast<uint32_t>(members[i].data.size());
    data += members[i].data;
    records.push_back(r);
  }
  return package_format::encodeHeader(products, singleLanguage, records) + data;
}

std::string gzipFile(const std::string& bytes) {
  const char* argv[] = {"gzip", "-c", "-n", "-6", nullptr};
  std::string out;
  if (!runFilter(argv, bytes, out)) return std::string();
  return out;
}

std::string stripGzip(const std::string& gz) {
  // Header: magic, method, flags, time, extra flags, system; then the
  // optional fields that the flags announce. Trailer: CRC and size.
  if (gz.size() < 18 || static_cast<unsigned char>(gz[0]) != 0x1F) return std::string();
  unsigned flags = static_cast<unsigned char>(gz[3]);
  size_t pos = 10;
  if (flags & 4) pos += 2 + (static_cast<unsigned char>(gz[pos]) | (static_cast<unsigned char>(gz[pos + 1]) << 8));
  if (flags & 8) pos = gz.find('\0', pos) + 1;
  if (flags & 16) pos = gz.find('\0', pos) + 1;
  if (flags & 2) pos += 2;
  return pos < gz.size() - 8 ? gz.substr(pos, gz.size() - 8 - pos) : std::string();
}

std::string gzipRawDeflate(const std::string& bytes) { return stripGzip(gzipFile(bytes)); }

void ScratchTest::SetUp() {
  const char* env = getenv("TMPDIR");
  hadTmpdir = env != nullptr;
  if (hadTmpdir) savedTmpdir = env;
  std::string base = (env && *env) ? env : "/tmp";
  std::string templ = base + "/install_test_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(&templ[0]));
  scratch = templ;
  tempDir = scratch + "/tmp";
  makeDirs(tempDir);
  setenv("TMPDIR", tempDir.c_str(), 1);
}

void ScratchTest::TearDown() {
  std::vector<std::string> left = tempEntries();
  for (size_t i = 0; i < left.size(); ++i) {
    EXPECT_TRUE(allowedTempEntries.count(left[i]) != 0) << "left in the temporary directory: " << left[i];
  }
  if (hadTmpdir) setenv("TMPDIR", savedTmpdir.c_str(), 1);
  else unsetenv("TMPDIR");
  if (!scratch.empty()) {
    std::string command = "chmod -R u+rwx '" + scratch + "' 2>/dev/null; rm -rf '" + scratch + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << scratch;
  }
}

std::vector<std::string> ScratchTest::tempEntries() const {
  std::vector<std::string> out;
  DIR* dir = opendir(tempDir.c_str());
  if (dir == nullptr) return out;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(dir);
  return out;
}

std::string ScratchTest::writePackage(const std::string& image, bool secondEncoder,
                                      const std::string& name) {
  std::string compressed = secondEncoder ? gzipRawDeflate(image) : package_format::deflateRaw(image, 6);
  std::string p = path(name);
  writeBytes(p, compressed);
  return p;
}

}  // namespace test_support
