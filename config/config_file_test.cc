#include "config/config_file.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/test_util.h"

namespace {

// "key=[v1|v2] key2=[v]": items and values in order, in UTF-8.
std::string describe(const ConfigFile& config) {
  std::string text;
  for (const ConfigFileItem& item : config.items) {
    if (!text.empty()) text += " ";
    text += utf8(item.key) + "=[";
    for (size_t i = 0; i < item.values.size(); ++i)
      text += (i ? "|" : "") + utf8(item.values[i]);
    text += "]";
  }
  return text;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  ConfigFile readFrom(const std::string& bytes) {
    writeBytes(dir_.path() + "/in.cfg", bytes);
    ConfigFile config;
    read_config_file(dir_.u16("in.cfg"), config);
    return config;
  }
  std::string writeOut(const ConfigFile& config) {
    EXPECT_FALSE(write_config_file(dir_.u16("out.cfg"), config).failed());
    return readBytes(dir_.path() + "/out.cfg");
  }
  std::string roundTrip(const std::string& bytes) { return writeOut(readFrom(bytes)); }

  ScratchDir dir_;
};

TEST_F(ConfigFileTest, FormatRulesHoldThroughRoundTrip) {
  const std::string file =
      "Key=one\n"
      "a=b=c\n"
      "\n"
      "key=TWO\n"
      "#comment\n"
      "=\n"
      "=x\n"
      "flag\n"
      "KEY=One\n"
      " spaced = value \n"
      "a=\n"
      "last=no line feed";
  ConfigFile config = readFrom(file);
  EXPECT_EQ(describe(config),
            "Key=[one|TWO] a=[b=c|] #comment=[] =[x] flag=[]  spaced =[ value ] last=[no line feed]");
  EXPECT_EQ(writeOut(config),
            "Key=one\nKey=TWO\na=b=c\na=\n#comment=\n=x\nflag=\n spaced = value \nlast=no line feed\n");
}

TEST_F(ConfigFileTest, CrlfFileKeepsItsCarriageReturns) {
  const std::string file =
      "ConfigurationTemplatesLocation=C:\\data\\tmplts\r\n"
      "DefaultVersion=8.3\r\n"
      "flag\r\n"
      "\r\n";
  ConfigFile config = readFrom(file);
  EXPECT_EQ(describe(config),
            "ConfigurationTemplatesLocation=[C:\\data\\tmplts\r] DefaultVersion=[8.3\r] flag\r=[] \r=[]");
  EXPECT_EQ(writeOut(config),
            "ConfigurationTemplatesLocation=C:\\data\\tmplts\r\nDefaultVersion=8.3\r\nflag\r=\n\r=\n");
}

TEST_F(ConfigFileTest, EmptyOrBlankFileGivesNothingAndWritesZeroBytes) {
  EXPECT_EQ(describe(readFrom("")), "");
  EXPECT_EQ(describe(readFrom("\n\n=\n\n")), "");
  ConfigFile valueless;
  valueless.items.push_back(ConfigFileItem{u"k", {}});
  EXPECT_EQ(writeOut(valueless), "");
}

// A multibyte character cut by the 1024-byte block boundary must come out
// whole, at every cut position and for two-, three- and four-byte forms.
TEST_F(ConfigFileTest, CharacterStraddlingBlockBoundaryIsReadWhole) {
  const std::string value = "/home/u/\xd0\x88\xd0\xb0\xd0\xb1\xd0\xbb\xd0\xbe\xd0\xbd\xd1\x8b"
                            "\xe2\x82\xac\xf0\x9d\x84\x9e/\xd0\xb4";
  for (size_t pad = 1000; pad < 1024; ++pad) {
    const std::string file = "p=" + std::string(pad, 'x') + "\nTemplates=" + value + "\n";
    ConfigFile config = readFrom(file);
    const std::vector<stdx::u16string>* values = config.findValues(u"templates");
    ASSERT_NE(values, nullptr) << pad;
    ASSERT_EQ(values->size(), 1u) << pad;
    EXPECT_EQ(utf8((*values)[0]), value) << "pad " << pad;
    EXPECT_EQ(writeOut(config), file) << "pad " << pad;
  }
}

TEST_F(ConfigFileTest, LongKeysAndValuesAreReadAndWrittenWhole) {
  std::string value;
  while (value.size() < 10000) value += "\xd0\x9f\xd1\x83\xd1\x82\xd1\x8c/abc";  // Cyrillic + ASCII
  const std::string key(5000, 'K');
  const std::string file = key + "=" + value + "\nshort=1\n" + key + "=" + value + "x\n";
  ConfigFile config = readFrom(file);
  ASSERT_EQ(config.items.size(), 2u);
  EXPECT_EQ(utf8(config.items[0].key), key);
  ASSERT_EQ(config.items[0].values.size(), 2u);
  EXPECT_EQ(utf8(config.items[0].values[0]), value);
  EXPECT_EQ(writeOut(config),
            key + "=" + value + "\n" + key + "=" + value + "x\nshort=1\n");
}

// Other programs write this file too, in whatever encoding they like: a
// line the installer does not change must come back byte for byte.
TEST_F(ConfigFileTest, ForeignBytesAreKeptByteForByte) {
  std::string file = "InstalledLocation=C:\\\xcf\xf0\xee\xe3\xf0\xe0\xec\xec\xfb\n"  // CP1251
                     "Owner=Fran\xe7ois\n"                                          // Latin-1
                     "a=x\xffy\n"           // a byte never valid in UTF-8
                     "b=\xd0\n"             // a sequence cut by the line end
                     "c=\xe2\x82z\n"        // a sequence cut by an ASCII letter
                     "d=q";
  file += '\0';
  file += "r\n";
  file += std::string("k\0y=v\n", 6);
  // The three-byte form begun at offset 1023 is cut by the block boundary
  // and then broken by "(" in the next block; then an overlong form.
  file += "e=" + std::string(1023 - file.size() - 2, 'y') + "\xe2(\xc0\xaf" "end\n";
  file += "f=\xf0\x9d";  // cut by the end of the file
  ConfigFile config = readFrom(file);
  EXPECT_EQ(writeOut(config), file + "\n");
  const std::vector<stdx::u16string>* owner = config.findValues(u"owner");
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(std::u16string(u"Fran\xDCE7ois"), std::u16string((*owner)[0].data(), (*owner)[0].size()));
  EXPECT_NE(config.findValues(stdx::u16string(u"k\0y", 3)), nullptr);
}

// Either byte order is read after its mark; the text is written back in
// the locale's encoding, and nothing of it is lost.
TEST_F(ConfigFileTest, Utf16FileWithByteOrderMarkIsRead) {
  // The mark, "k=" and 508 letters fill 1022 bytes of the first block: the
  // surrogate pair that follows is split by the block boundary.
  stdx::u16string text = u"k=";
  text.append(508, u'x');
  text += u"\xD834\xDD1E\u0434\u0430\r\nflag\r\nbad=\xDC00!\xD800";
  text += u"a";
  const std::string fffd = "\xef\xbf\xbd";
  for (bool little : {true, false}) {
    std::string file = little ? "\xff\xfe" : "\xfe\xff";
    for (char16_t u : text) {
      char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
      file += little ? low : high;
      file += little ? high : low;
    }
    file += 'z';  // an odd last byte
    ConfigFile config = readFrom(file);
    EXPECT_EQ(writeOut(config), "k=" + std::string(508, 'x') +
                                    "\xf0\x9d\x84\x9e\xd0\xb4\xd0\xb0\r\nflag\r=\nbad=" + fffd + "!" +
                                    fffd + "a" + fffd + "\n")
        << (little ? "little-endian" : "big-endian");
  }
}

// Reading what was written gives what was read, even when the first line
// written begins with the bytes of a byte-order mark.
TEST_F(ConfigFileTest, FirstKeyThatLooksLikeAByteOrderMarkSurvivesRewriting) {
  for (const std::string mark : {"\xff\xfe", "\xfe\xff", "\xef\xbb\xbf"}) {
    ConfigFile first = readFrom("\n" + mark + "k=v\nother=w\n");
    const std::string written = writeOut(first);
    EXPECT_EQ("\xef\xbb\xbf" + mark + "k=v\nother=w\n", written);
    ConfigFile again = readFrom(written);
    EXPECT_EQ(describe(first), describe(again));
  }
}

TEST_F(ConfigFileTest, Utf8ByteOrderMarkIsNotPartOfTheFirstKey) {
  ConfigFile config = readFrom("\xef\xbb\xbf" "ConfigurationTemplatesLocation=/srv/t\n");
  ASSERT_NE(nullptr, config.findValues(u"ConfigurationTemplatesLocation"));
  EXPECT_EQ(writeOut(config), "ConfigurationTemplatesLocation=/srv/t\n");
}

// Found by fuzzing: a first key that begins with U+FEFF lost it when
// written and read again, the mark being taken for the file's own.
TEST_F(ConfigFileTest, FirstKeyBeginningWithAByteOrderMarkKeepsIt) {
  const std::string twoMarks = "\xef\xbb\xbf\xef\xbb\xbfk=v\n";
  EXPECT_EQ(twoMarks, roundTrip(twoMarks));
  ConfigFile fromUtf16 = readFrom(std::string("\xff\xfe\xff\xfe" "k\0=\0v\0", 10));
  ConfigFile again = readFrom(writeOut(fromUtf16));
  EXPECT_EQ(describe(fromUtf16), describe(again));
  EXPECT_EQ("\xef\xbb\xbfk=[v]", describe(again));
}

// Reading answers one of three things; a file that is there but could not
// be read is never taken for an empty one, and leaves config as it was.
TEST_F(ConfigFileTest, ReadingAnswersWholeAbsentOrUnreadable) {
  ConfigFile config;
  config.items.push_back(ConfigFileItem{u"Templates", {u"/a"}});
  FileError missing = read_config_file(dir_.u16("missing.cfg"), config);
  EXPECT_TRUE(missing.failed());
  EXPECT_TRUE(missing.absent());
  FileError directory = read_config_file(u16(dir_.path()), config);
  EXPECT_TRUE(directory.failed());
  EXPECT_FALSE(directory.absent());
  EXPECT_EQ(EISDIR, directory.errnoValue);
  EXPECT_EQ(dir_.path(), utf8(directory.path));
  EXPECT_EQ(describe(config), "Templates=[/a]");

  writeBytes(dir_.path() + "/in.cfg", "templates=/A\nTEMPLATES=/b\n");
  EXPECT_FALSE(read_config_file(dir_.u16("in.cfg"), config).failed());
  EXPECT_EQ(describe(config), "Templates=[/a|/b]");

  // A value held by any item of the key is dropped,
  // a new one joins the last item of the key; a key and value are not
  // confused with another split of the same letters.
  config.items.push_back(ConfigFileItem{u"TEMPLATES", {u"/c"}});
  writeBytes(dir_.path() + "/in.cfg", "templates=/B\ntemplates=/C\ntemplates=/d\nab=c\na=bc\n");
  read_config_file(dir_.u16("in.cfg"), config);
  EXPECT_EQ(describe(config), "Templates=[/a|/b] TEMPLATES=[/c|/d] ab=[c] a=[bc]");
}

TEST_F(ConfigFileTest, FileWithoutReadPermissionIsUnreadableNotEmpty) {
  if (rerun_as_ordinary_user()) return;
  writeBytes(dir_.path() + "/in.cfg", "DefaultVersion=8.3\n");
  ASSERT_EQ(0, chmod((dir_.path() + "/in.cfg").c_str(), 0200));
  ConfigFile config;
  FileError error = read_config_file(dir_.u16("in.cfg"), config);
  EXPECT_FALSE(error.absent());
  EXPECT_EQ(EACCES, error.errnoValue);
  EXPECT_TRUE(config.items.empty());
}

TEST(ConfigFileValues, FindValuesMatchesKeyIgnoringCase) {
  ConfigFile config;
  EXPECT_EQ(config.findValues(u"k"), nullptr);
  config.items.push_back(ConfigFileItem{u"DefaultVersion", {u"8.3"}});
  const std::vector<stdx::u16string>* values = config.findValues(u"defaultversion");
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(values, &config.items[0].values);
  EXPECT_EQ(config.findValues(u"DefaultVersio"), nullptr);
}

TEST(ConfigFileValues, SetValuesReplacesFirstItemOrRemovesIt) {
  ConfigFile config;
  config.items.push_back(ConfigFileItem{u"T", {u"/a"}});
  config.items.push_back(ConfigFileItem{u"Other", {u"1"}});
  config.items.push_back(ConfigFileItem{u"t", {u"/later"}});
  config.setValues(u"t", {u"/x", u"/y"});
  EXPECT_EQ(describe(config), "T=[/x|/y] Other=[1] t=[/later]");
  config.setValues(u"T", {});
  EXPECT_EQ(describe(config), "Other=[1] t=[/later]");
  config.setValues(u"new", {u"v"});
  EXPECT_EQ(describe(config), "Other=[1] t=[/later] new=[v]");
}

// --- writing -------------------------------------------------------------------

ConfigFile sampleConfig() {
  ConfigFile config;
  config.items.push_back(ConfigFileItem{
      u"ConfigurationTemplatesLocation", {u16("/home/u/\xd1\x88\xd0\xb0\xd0\xb1"), u"/srv/tmplts"}});
  config.items.push_back(ConfigFileItem{u"DefaultVersion", {u"8.3"}});
  return config;
}

const char kSampleText[] =
    "ConfigurationTemplatesLocation=/home/u/\xd1\x88\xd0\xb0\xd0\xb1\n"
    "ConfigurationTemplatesLocation=/srv/tmplts\n"
    "DefaultVersion=8.3\n";

TEST_F(ConfigFileTest, WriteReplacesFileKeepingItsPermissions) {
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  writeBytes(path, "old text that is longer than the new text, by a good margin\n\n\n\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  // Run by root for another user's HOME, the file must stay that user's.
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
  EXPECT_FALSE(write_config_file(dir_.u16("kxlaunch.cfg"), sampleConfig()).failed());
  EXPECT_EQ(readBytes(path), kSampleText);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(listDir(dir_.path()), "kxlaunch.cfg");
}

// An access control list or an attribute that another program put on the
// file must not vanish with the rewrite: a named user would lose access,
// or the group gain it.
TEST_F(ConfigFileTest, WriteKeepsAccessControlListAndAttributes) {
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  writeBytes(path, "DefaultVersion=8\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  // user::rw-, user:65534:rw-, group::r--, mask::rw-, other::---
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const Entry entries[] = {{0x01, 6, 0xffffffff}, {0x02, 6, 65534}, {0x04, 4, 0xffffffff},
                           {0x10, 6, 0xffffffff}, {0x20, 0, 0xffffffff}};
  std::string acl("\x02\0\0\0", 4);
  acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
  if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      setxattr(path.c_str(), "user.origin", "kx", 2, 0) != 0) {
    GTEST_SKIP() << "no access control lists or user attributes here: " << strerror(errno);
  }
  auto attribute = [&](const char* name) {
    char value[256];
    ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("(none)") : std::string(value, static_cast<size_t>(n));
  };
  const std::string aclBefore = attribute("system.posix_acl_access");
  EXPECT_FALSE(write_config_file(dir_.u16("kxlaunch.cfg"), sampleConfig()).failed());
  EXPECT_EQ(readBytes(path), kSampleText);
  EXPECT_EQ(aclBefore, attribute("system.posix_acl_access"));
  EXPECT_EQ("kx", attribute("user.origin"));
  EXPECT_EQ(listDir(dir_.path()), "kxlaunch.cfg");
}

// The stamped write of a read-modify-write replaces only the text it was
// made from: a file written meanwhile is left as it is (read again), except
// that lines another program appended to the text that was read are kept
// at the end of the new file.
TEST_F(ConfigFileTest, StampedWriteRefusesAFileChangedSinceItWasRead) {
  const struct {
    const char* meanwhile;
    size_t keepTextUpTo;
    bool replaces;
  } rows[] = {
      {"DefaultVersion=8\nOther=1\n", 0, false},        // appended, but the text read was not kept
      {"DefaultVersion=8\nOther=1\n", 4096, true},      // appended: carried over
      {"DefaultVersion=9\nOther=1\n", 4096, false},     // rewritten in place, longer
      {"DefaultVersion=9\n", 4096, false},               // rewritten in place, same size
      {"DefaultVersion=8\nOther=1\n", 4, false},        // text too long to keep
  };
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.meanwhile) + " " + std::to_string(row.keepTextUpTo));
    writeBytes(path, "DefaultVersion=8\n");
    FileStamp read;
    ASSERT_FALSE(file_stamp(dir_.u16("kxlaunch.cfg"), read, row.keepTextUpTo).failed());
    ASSERT_TRUE(read.exists);
    {
      // Another program's write, a moment later (file times may be coarse).
      struct timespec pause = {0, 20 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      FILE* f = fopen(path.c_str(), "r+");
      ASSERT_NE(nullptr, f);
      fputs(row.meanwhile, f);
      fclose(f);
    }
    int replaced = -1;
    FileError error = write_config_file(dir_.u16("kxlaunch.cfg"), sampleConfig(), read, replaced);
    EXPECT_EQ(-1, replaced);
    if (row.replaces) {
      EXPECT_FALSE(error.failed());
      EXPECT_EQ(std::string(kSampleText) + "Other=1\n", readBytes(path));
    } else {
      EXPECT_EQ(EAGAIN, error.errnoValue);
      EXPECT_EQ(row.meanwhile, readBytes(path));
    }
    EXPECT_EQ(listDir(dir_.path()), "kxlaunch.cfg");
  }

  FileStamp read;
  int replaced = -1;
  ASSERT_FALSE(file_stamp(dir_.u16("kxlaunch.cfg"), read).failed());
  EXPECT_FALSE(write_config_file(dir_.u16("kxlaunch.cfg"), sampleConfig(), read, replaced).failed());
  EXPECT_EQ(-1, replaced);
  EXPECT_EQ(readBytes(path), kSampleText);
}

TEST_F(ConfigFileTest, WriteThroughSymlinkReplacesTheFileItLeadsTo) {
  writeBytes(dir_.path() + "/real/kxlaunch.cfg", "old\n");
  ASSERT_EQ(mkdir((dir_.path() + "/cfg").c_str(), 0700), 0);
  ASSERT_EQ(symlink("../real/kxlaunch.cfg", (dir_.path() + "/cfg/kxlaunch.cfg").c_str()), 0);
  write_config_file(dir_.u16("cfg/kxlaunch.cfg"), sampleConfig());
  EXPECT_EQ(readBytes(dir_.path() + "/real/kxlaunch.cfg"), kSampleText);
  struct stat st;
  ASSERT_EQ(lstat((dir_.path() + "/cfg/kxlaunch.cfg").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(listDir(dir_.path() + "/real"), "kxlaunch.cfg");

  // A link whose file does not exist yet gets its file created.
  ASSERT_EQ(symlink("made.cfg", (dir_.path() + "/cfg/dangling.cfg").c_str()), 0);
  write_config_file(dir_.u16("cfg/dangling.cfg"), sampleConfig());
  EXPECT_EQ(readBytes(dir_.path() + "/cfg/made.cfg"), kSampleText);
}

// Each failure carries the errno of the call that failed; nothing is left
// behind.
TEST_F(ConfigFileTest, WriteFailureCarriesTheSystemsReason) {
  writeBytes(dir_.path() + "/plain", "x");
  struct {
    const char* where;
    int errnoValue;
  } cases[] = {{"missing/kxlaunch.cfg", ENOENT}, {"plain/kxlaunch.cfg", ENOTDIR}, {"", EISDIR}};
  for (const auto& c : cases) {
    FileError error = write_config_file(dir_.u16(c.where), sampleConfig());
    EXPECT_TRUE(error.failed()) << c.where;
    EXPECT_EQ(c.errnoValue, error.errnoValue) << c.where;
  }
  EXPECT_EQ(listDir(dir_.path()), "plain");
}

// A line break in a value would write a line of a key of its own.
TEST_F(ConfigFileTest, ValueThatBreaksItsLineIsRefused) {
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  writeBytes(path, "DefaultVersion=8.3\n");
  for (const char16_t* value : {u"/t\nDefaultVersion=evil", u"/t\rDefaultVersion=evil"}) {
    ConfigFile config = sampleConfig();
    config.items.push_back(ConfigFileItem{u"ConfigurationTemplatesLocation", {value}});
    FileError error = write_config_file(dir_.u16("kxlaunch.cfg"), config);
    EXPECT_EQ(ERROR_INVALID_DATA, error.code);
    EXPECT_EQ(readBytes(path), "DefaultVersion=8.3\n");
  }
  // The CR of a CR LF line end stays, as it was read.
  ConfigFile crlf;
  crlf.items.push_back(ConfigFileItem{u"a", {u"b\r"}});
  EXPECT_EQ("a=b\r\n", writeOut(crlf));
}

TEST_F(ConfigFileTest, ReadOnlyFileIsNotReplaced) {
  if (rerun_as_ordinary_user()) return;
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  writeBytes(path, "DefaultVersion=8.3\n");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  FileError error = write_config_file(dir_.u16("kxlaunch.cfg"), sampleConfig());
  EXPECT_EQ(EACCES, error.errnoValue);
  EXPECT_EQ(readBytes(path), "DefaultVersion=8.3\n");
}

// Only a regular file is read, and looking never waits: a FIFO nobody
// writes, an endless device, a directory or a loop of links is no file.
TEST_F(ConfigFileTest, OnlyRegularFilesAreReadAndNothingWaits) {
  const std::string fifo = dir_.path() + "/fifo.cfg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("fifo.cfg", (dir_.path() + "/to-fifo.cfg").c_str()), 0);
  ASSERT_EQ(symlink(".", (dir_.path() + "/to-dir.cfg").c_str()), 0);
  ASSERT_EQ(symlink("loop-b.cfg", (dir_.path() + "/loop-a.cfg").c_str()), 0);
  ASSERT_EQ(symlink("loop-a.cfg", (dir_.path() + "/loop-b.cfg").c_str()), 0);
  writeBytes(dir_.path() + "/real.cfg", "DefaultVersion=8.3\n");
  ASSERT_EQ(symlink("real.cfg", (dir_.path() + "/to-real.cfg").c_str()), 0);

  alarm(20);  // a regression hangs here: end the run instead of waiting for ever
  // A FIFO or device holds no text: read whole, as empty. A directory or
  // a loop of links is there but cannot be read.
  struct {
    const char* name;
    int errnoValue;
  } reads[] = {{"fifo.cfg", 0}, {"to-fifo.cfg", 0}, {"to-dir.cfg", EISDIR}, {"loop-a.cfg", ELOOP}};
  for (const auto& c : reads) {
    ConfigFile config;
    EXPECT_EQ(c.errnoValue, read_config_file(dir_.u16(c.name), config).errnoValue) << c.name;
    EXPECT_TRUE(config.items.empty()) << c.name;
  }
  ConfigFile endless;
  EXPECT_FALSE(read_config_file(u"/dev/zero", endless).failed());
  EXPECT_TRUE(endless.items.empty());
  // Nobody reads the FIFO, so nothing can be written to it; and a loop
  // names no file at all.
  struct {
    const char* name;
    int errnoValue;
  } writes[] = {{"to-fifo.cfg", ENXIO}, {"loop-a.cfg", ELOOP}, {"to-dir.cfg", EISDIR}};
  for (const auto& c : writes)
    EXPECT_EQ(c.errnoValue, write_config_file(dir_.u16(c.name), sampleConfig()).errnoValue)
        << c.name;
  alarm(0);

  ConfigFile linked;
  read_config_file(dir_.u16("to-real.cfg"), linked);
  EXPECT_NE(linked.findValues(u"DefaultVersion"), nullptr);
}

// The reason is the one the failing write gave: a full device says so.
TEST(ConfigFileWrite, FullDeviceSaysNoSpaceLeft) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  FileError error = write_config_file(u"/dev/full", sampleConfig());
  EXPECT_EQ(ENOSPC, error.errnoValue);
  EXPECT_EQ(ERROR_DISK_FULL, error.code);
}

// Lowers the largest file size the process may write, so that a write
// fails half-way as on a full disk (EFBIG instead of ENOSPC).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit limit = old_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  struct rlimit old_;
  void (*oldHandler_)(int);
  bool ok_;
};

TEST_F(ConfigFileTest, WriteFailingHalfWayLeavesOldFileIntact) {
  const std::string path = dir_.path() + "/kxlaunch.cfg";
  const std::string old = std::string(kSampleText) + "InstallComponents=all\n";
  writeBytes(path, old);

  ConfigFile small = sampleConfig();  // fits the stream buffer: fails when flushed
  ConfigFile large = sampleConfig();  // fails while the lines are written
  large.items.push_back(ConfigFileItem{u"Long", {u16(std::string(20000, 'v'))}});
  for (const ConfigFile* config : {&small, &large}) {
    FileError error;
    {
      FileSizeLimit limit(40);
      ASSERT_TRUE(limit.ok());
      error = write_config_file(dir_.u16("kxlaunch.cfg"), *config);
    }
    EXPECT_EQ(EFBIG, error.errnoValue);
    EXPECT_EQ(readBytes(path), old);
    EXPECT_EQ(listDir(dir_.path()), "kxlaunch.cfg");
  }
}

}  // namespace
