#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>

#include "platform/utils.h"

namespace {

bool matches(const stdx::u16string& a, const stdx::u16string& b) {
  return compare_nocase(a, b) == 0;
}

bool holdsValue(const ConfigFileItem& item, const stdx::u16string& value) {
  for (const stdx::u16string& v : item.values)
    if (matches(v, value)) return true;
  return false;
}

// --- reading ---------------------------------------------------------------

const size_t kBlockBytes = 1024;
// The most bytes a block can leave undecoded for the next one: three bytes
// of a four-byte UTF-8 sequence, or the odd byte of a UTF-16 unit.
const size_t kCarryBytes = 3;
// Every byte yields at most two units (a character of the locale's encoding
// that lies outside the 16-bit range), plus one for a sequence left open at
// the end of the file.
const size_t kMaxUnitsPerBlock = 2 * (kCarryBytes + kBlockBytes) + 1;
const char16_t kReplacement = 0xFFFD;

// Turns the bytes of a file, block by block, into UTF-16 units. A character
// cut by the end of a block is completed with the next block. A byte that
// is not valid text (a zero byte included, which would otherwise end the
// text early) becomes U+FFFD, one per byte, and decoding goes on after it.
class BlockDecoder {
 public:
  BlockDecoder() : encoding_(kUnknown), pendingHigh_(0), locale_((locale_t)0) {
    memset(&state_, 0, sizeof state_);
  }
  ~BlockDecoder() {
    if (locale_ != (locale_t)0) freelocale(locale_);
  }
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  // Decodes the n bytes at bytes into out (room for kMaxUnitsPerBlock
  // units) and returns the number of units. *usedBytes tells how many bytes
  // were taken; the rest (fewer than kCarryBytes + 1) must be passed again
  // in front of the next block. atEnd: no further block follows.
  size_t decode(const unsigned char* bytes, size_t n, bool atEnd, char16_t* out,
                size_t* usedBytes) {
    size_t start = 0;
    if (encoding_ == kUnknown) start = chooseEncoding(bytes, n);
    size_t units = 0;
    switch (encoding_) {
      case kUtf16le:
        *usedBytes = start + decodeUtf16le(bytes + start, n - start, atEnd, out, &units);
        break;
      case kLocale:
        *usedBytes = start + decodeLocale(bytes + start, n - start, atEnd, out, &units);
        break;
      default:
        *usedBytes = start + decodeUtf8(bytes + start, n - start, atEnd, out, &units);
        break;
    }
    return units;
  }

 private:
  enum Encoding { kUnknown, kUtf8, kLocale, kUtf16le };

  // Called with the first block; returns the number of bytes of a
  // byte-order mark to skip.
  size_t chooseEncoding(const unsigned char* bytes, size_t n) {
    if (n >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
      encoding_ = kUtf16le;
      return 2;
    }
    encoding_ = textcodec::localeIsUtf8() ? kUtf8 : kLocale;
    if (encoding_ == kLocale) {
      locale_ = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
      if (locale_ == (locale_t)0) encoding_ = kUtf8;
    }
    // Editors on other systems put a byte-order mark in front of UTF-8
    // text; it is not part of the first key.
    if (encoding_ == kUtf8 && n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
      return 3;
    return 0;
  }

  static void putCodePoint(char32_t cp, char16_t* out, size_t* units) {
    if (cp < 0x10000) {
      out[(*units)++] = static_cast<char16_t>(cp);
    } else if (cp <= 0x10FFFF) {
      cp -= 0x10000;
      out[(*units)++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[(*units)++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[(*units)++] = kReplacement;
    }
  }

  static size_t decodeUtf8(const unsigned char* s, size_t n, bool atEnd, char16_t* out,
                           size_t* units) {
    size_t i = 0;
    while (i < n) {
      if (s[i] < 0x80) {
        out[(*units)++] = s[i] == 0 ? kReplacement : s[i];
        ++i;
        continue;
      }
      char32_t cp;
      int used = textcodec::decodeUtf8(s + i, n - i, &cp);
      if (used > 0) {
        putCodePoint(cp, out, units);
        i += static_cast<size_t>(used);
      } else if (used == 0 && !atEnd) {
        break;  // the rest of the character is in the next block
      } else {
        out[(*units)++] = kReplacement;
        ++i;
      }
    }
    return i;
  }

  size_t decodeUtf16le(const unsigned char* s, size_t n, bool atEnd, char16_t* out,
                       size_t* units) {
    size_t i = 0;
    for (; i + 1 < n; i += 2) {
      char16_t u = static_cast<char16_t>(s[i] | (s[i + 1] << 8));
      if (pendingHigh_ != 0) {
        if (u >= 0xDC00 && u <= 0xDFFF) {
          out[(*units)++] = pendingHigh_;
          out[(*units)++] = u;
          pendingHigh_ = 0;
          continue;
        }
        out[(*units)++] = kReplacement;
        pendingHigh_ = 0;
      }
      if (u >= 0xD800 && u <= 0xDBFF) {
        pendingHigh_ = u;
      } else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0) {
        out[(*units)++] = kReplacement;
      } else {
        out[(*units)++] = u;
      }
    }
    if (atEnd) {
      if (pendingHigh_ != 0) out[(*units)++] = kReplacement;
      pendingHigh_ = 0;
      if (i < n) {
        out[(*units)++] = kReplacement;  // a lone last byte
        i = n;
      }
    }
    return i;
  }

  // For a locale whose encoding is not UTF-8: the C library's conversion
  // state carries a character cut by the end of a block.
  size_t decodeLocale(const unsigned char* s, size_t n, bool atEnd, char16_t* out,
                      size_t* units) {
    locale_t previous = uselocale(locale_);
    size_t i = 0;
    while (i < n) {
      wchar_t wc;
      size_t r = mbrtowc(&wc, reinterpret_cast<const char*>(s + i), n - i, &state_);
      if (r == static_cast<size_t>(-2)) {
        i = n;  // taken into the state; completed by the next block
        break;
      }
      if (r == static_cast<size_t>(-1) || r == 0) {
        out[(*units)++] = kReplacement;
        memset(&state_, 0, sizeof state_);
        ++i;
        continue;
      }
      putCodePoint(static_cast<char32_t>(wc), out, units);
      i += r;
    }
    if (atEnd && !mbsinit(&state_)) {
      out[(*units)++] = kReplacement;
      memset(&state_, 0, sizeof state_);
    }
    uselocale(previous);
    return i;
  }

  Encoding encoding_;
  char16_t pendingHigh_;  // a UTF-16 high surrogate waiting for its partner
  locale_t locale_;       // only for the kLocale encoding
  mbstate_t state_;
};

// Splits decoded text into lines and lines into key and value. Characters
// are gathered in a fixed buffer that is appended to the key or value text
// only when it fills up or the part ends, so that long keys and values cost
// no allocation per character.
class LineScanner {
 public:
  explicit LineScanner(ConfigFile& config) : config_(config), inValue_(false), gathered_(0) {}
  LineScanner(const LineScanner&) = delete;
  LineScanner& operator=(const LineScanner&) = delete;

  void feed(const char16_t* units, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      char16_t c = units[i];
      if (c == u'\n') {
        endLine();
      } else if (c == u'=' && !inValue_) {
        flushGathered();
        inValue_ = true;
      } else {
        if (gathered_ == kGatherUnits) flushGathered();
        gather_[gathered_++] = c;
      }
    }
  }

  // A last line without a line feed counts like the others.
  void finish() { endLine(); }

 private:
  static const size_t kGatherUnits = 2048;

  void flushGathered() {
    (inValue_ ? value_ : key_).append(gather_, gathered_);
    gathered_ = 0;
  }

  // An empty line, and a line that is "=" alone, add nothing.
  void endLine() {
    flushGathered();
    if (!key_.empty() || !value_.empty()) add_value_to_config_file(config_, key_, value_);
    key_.clear();
    value_.clear();
    inValue_ = false;
  }

  ConfigFile& config_;
  stdx::u16string key_;
  stdx::u16string value_;
  bool inValue_;
  size_t gathered_;
  char16_t gather_[kGatherUnits];
};

// --- writing ---------------------------------------------------------------

stdx::string directoryOf(const stdx::string& path) {
  size_t slash = path.rfind('/');
  if (slash == stdx::string::npos) return stdx::string(".");
  if (slash == 0) return stdx::string("/");
  return path.substr(0, slash);
}

// Follows symbolic links at the end of path, so that a configuration file
// that the user keeps elsewhere is replaced where it lies and the link
// stays. A link to a missing file gives that file's path, so the file is
// created; a loop of links ends here after 40 steps and fails when the
// result is examined.
stdx::string resolveLinks(const stdx::string& path) {
  stdx::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char target[PATH_MAX];
    ssize_t n = readlink(current.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return current;
    stdx::string next(target, static_cast<size_t>(n));
    if (next[0] != '/') {
      size_t slash = current.rfind('/');
      if (slash != stdx::string::npos) next = current.substr(0, slash + 1) + next;
    }
    current = next;
  }
  return current;
}

// Creates a new file beside target, open for writing; -1 when none can be
// made. The permission bits of a new file follow the umask, as the old
// file's did when it was first written.
int createSibling(const stdx::string& target, stdx::string& name) {
  static std::atomic<unsigned> counter(0);
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".new%lx%x%lx", static_cast<unsigned long>(getpid()),
             counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    name = target + suffix;
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The new file takes the old one's place, so it takes its owner and
// permission bits too: an installer run with another user's HOME must not
// leave that user a file they cannot rewrite. Both are best effort; an
// ordinary user may only give the file a group they belong to.
void keepOwnerAndMode(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    // keeps this process's owner and group
  }
  if (fchmod(fd, old.st_mode & 07777) != 0) {
    // keeps the bits the umask gave
  }
}

bool putBytes(FILE* f, const char* data, size_t n) {
  return n == 0 || fwrite(data, 1, n, f) == n;
}

bool writeItems(FILE* f, const ConfigFile& config) {
  bool first = true;
  for (const ConfigFileItem& item : config.items) {
    if (item.values.empty()) continue;
    stdx::string key = narrow_lib(item.key);
    // The reader drops a byte-order mark at the start of a UTF-8 file; a
    // first key that itself begins with one (a second mark in the file it
    // was read from) keeps it only behind a mark of its own.
    if (first && key.size() >= 3 && memcmp(key.data(), "\xEF\xBB\xBF", 3) == 0 &&
        !putBytes(f, "\xEF\xBB\xBF", 3))
      return false;
    first = false;
    for (const stdx::u16string& value : item.values) {
      stdx::string text = narrow_lib(value);
      if (!putBytes(f, key.data(), key.size()) || !putBytes(f, "=", 1) ||
          !putBytes(f, text.data(), text.size()) || !putBytes(f, "\n", 1))
        return false;
    }
  }
  return true;
}

// Closes f in every case; true when the text reached the file.
bool closeStream(FILE* f, bool sync) {
  bool ok = fflush(f) == 0 && !ferror(f);
  if (ok && sync) ok = fsync(fileno(f)) == 0;
  if (fclose(f) != 0) ok = false;
  return ok;
}

// A device or a pipe holds no text that a failure could destroy, and
// cannot be replaced by renaming: it is written directly.
void writeInPlace(const stdx::string& target, const ConfigFile& config) {
  FILE* f = fopen(target.c_str(), "w");
  if (f == nullptr) throw 1;
  bool ok = writeItems(f, config);
  if (!closeStream(f, false) || !ok) throw 2;
}

void syncDirectory(const stdx::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // best effort: the rename itself has already happened
  close(fd);
}

}  // namespace

// --- ConfigFile ----------------------------------------------------------------

const std::vector<stdx::u16string>* ConfigFile::findValues(const stdx::u16string& key) const {
  for (const ConfigFileItem& item : items)
    if (matches(item.key, key)) return &item.values;
  return nullptr;
}

// Appends value to the last item that matched, or to a new item at the end.
static void appendToLastOrNew(std::vector<ConfigFileItem>& items, ConfigFileItem* last,
                              const stdx::u16string& key, const stdx::u16string& value) {
  if (last != nullptr) {
    last->values.push_back(value);
  } else {
    items.push_back(ConfigFileItem{key, {value}});
  }
}

bool ConfigFile::addValue(const stdx::u16string& key, const stdx::u16string& value) {
  ConfigFileItem* last = nullptr;
  for (ConfigFileItem& item : items) {
    if (!matches(item.key, key)) continue;
    if (holdsValue(item, value)) return false;
    last = &item;
  }
  appendToLastOrNew(items, last, key, value);
  return true;
}

bool ConfigFile::setValue(const stdx::u16string& key, const stdx::u16string& value) {
  ConfigFileItem* last = nullptr;
  for (ConfigFileItem& item : items) {
    if (!matches(item.key, key)) continue;
    if (item.values.size() == 1 && matches(item.values[0], value)) return false;
    item.values.clear();
    last = &item;
  }
  appendToLastOrNew(items, last, key, value);
  return true;
}

void ConfigFile::setValues(const stdx::u16string& key, const std::vector<stdx::u16string>& values) {
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (!matches(it->key, key)) continue;
    if (values.empty()) {
      items.erase(it);
    } else {
      it->values = values;
    }
    return;
  }
  items.push_back(ConfigFileItem{key, values});
}

bool ConfigFile::removeValue(const stdx::u16string& key, const stdx::u16string& value) {
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (!matches(it->key, key)) continue;
    for (auto v = it->values.begin(); v != it->values.end(); ++v) {
      if (!matches(*v, value)) continue;
      it->values.erase(v);
      if (it->values.empty()) items.erase(it);
      return true;
    }
  }
  return false;
}

void add_value_to_config_file(ConfigFile& config, const stdx::u16string& key,
                              const stdx::u16string& value) {
  config.addValue(key, value);
}

// --- reading and writing files ---------------------------------------------------

void read_config_file(const stdx::u16string& path, ConfigFile& config) {
  FILE* f = _wfopen(path.c_str(), u"rt, ccs=UNICODE");
  if (f == nullptr) return;
  BlockDecoder decoder;
  LineScanner scanner(config);
  unsigned char bytes[kCarryBytes + kBlockBytes];
  char16_t units[kMaxUnitsPerBlock];
  size_t carried = 0;
  for (;;) {
    size_t got = fread(bytes + carried, 1, kBlockBytes, f);
    // fread comes back short only at the end of the file or on an error;
    // either way this is the last block.
    bool atEnd = got < kBlockBytes;
    size_t available = carried + got;
    size_t used = 0;
    size_t n = decoder.decode(bytes, available, atEnd, units, &used);
    scanner.feed(units, n);
    carried = available - used;
    memmove(bytes, bytes + used, carried);
    if (atEnd) break;
  }
  scanner.finish();
  fclose(f);
}

void write_config_file(const stdx::u16string& path, const ConfigFile& config) {
  const stdx::string target = resolveLinks(narrow_lib(path));
  struct stat old;
  bool exists = stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) throw 1;
  if (exists && S_ISDIR(old.st_mode)) throw 1;
  // A file that the user may not change is left alone, as opening it for
  // writing would have refused; renaming would otherwise replace it.
  if (exists && access(target.c_str(), W_OK) != 0) throw 1;
  if (exists && !S_ISREG(old.st_mode)) {
    writeInPlace(target, config);
    return;
  }

  stdx::string fresh;
  int fd = createSibling(target, fresh);
  if (fd < 0) throw 1;
  if (exists) keepOwnerAndMode(fd, old);
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) {
    close(fd);
    unlink(fresh.c_str());
    throw 1;
  }
  bool ok = writeItems(f, config);
  if (!closeStream(f, true) || !ok) {
    unlink(fresh.c_str());
    throw 2;
  }
  if (rename(fresh.c_str(), target.c_str()) != 0) {
    unlink(fresh.c_str());
    throw 1;
  }
  syncDirectory(directoryOf(target));
}
