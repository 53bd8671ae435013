// Helpers of the engine's tests: a scratch directory that also serves as
// TMPDIR, file and tree helpers, and package images built in code.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "install/install_data.h"
#include "platform/file_system.h"
#include "platform/test_util.h"
#include "tools/package_writer.h"

namespace test_support {

using ::u16;
inline std::string u8(const stdx::u16string& s) { return utf8(s); }

// The interface text of key in the current language.
stdx::u16string resourceText(const char* key);

using ::readBytes;
using ::writeBytes;
// Creates path and its missing parents.
using ::makeDirs;
void setModificationTime(const std::string& path, time_t seconds);
time_t modificationTime(const std::string& path);
using ::exists;  // without following a final link

using ::TreeEntry;
using ::TreeSnapshot;
using ::snapshotTree;

FILETIME fileTime(time_t seconds, unsigned fractionTicks = 0);
std::string pseudoRandomBytes(size_t n, unsigned seed);

// A member of an image made in code.
struct TestMember {
  std::string name;  // UTF-8, separators as they are to be stored
  std::string data;
  FILETIME time;
};

config::ProductInfo product(const char* language, const char* name, const char* provider,
                            const char* readme);

// The image of products and members, data laid out in member order.
std::string makeImage(const std::vector<config::ProductInfo>& products, bool singleLanguage,
                      const std::vector<TestMember>& members);

// Runs argv (no shell) with input on its standard input and returns its
// standard output; false when it cannot be run or fails.
bool runFilter(const char* const* argv, const std::string& input, std::string& output);

// The raw DEFLATE data of a gzip member: header and trailer stripped;
// empty when gz is no gzip member.
std::string stripGzip(const std::string& gz);
// Raw DEFLATE of bytes made by a second encoder, gzip, with its header and
// trailer stripped. Empty when gzip cannot be run.
std::string gzipRawDeflate(const std::string& bytes);
// The whole gzip file of bytes.
std::string gzipFile(const std::string& bytes);

// Fixture: a fresh scratch directory, with TMPDIR pointing at a directory
// inside it for the length of the test. TearDown checks that nothing was
// left in that temporary directory (no image, no backup tree) except the
// names a test puts in allowedTempEntries.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& relative) const { return scratch + "/" + relative; }
  std::vector<std::string> tempEntries() const;
  // Writes the package (image deflated by zlib, or by gzip when asked) and
  // returns its path.
  std::string writePackage(const std::string& image, bool secondEncoder = false,
                           const std::string& name = "kxq5.dpk");

  std::string scratch;
  std::string tempDir;
  std::set<std::string> allowedTempEntries;

 private:
  std::string savedTmpdir;
  bool hadTmpdir = false;
};

}  // namespace test_support
