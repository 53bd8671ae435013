#include "config/config_file.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/file_system.h"

namespace {

bool matches(const stdx::u16string& a, const stdx::u16string& b) {
  return compare_nocase(a, b) == 0;
}

// --- reading ---------------------------------------------------------------

const size_t kBlockBytes = 1024;
// The most bytes a block can leave undecoded for the next one: three bytes
// of a four-byte character, or the odd byte of a UTF-16 unit.
const size_t kCarryBytes = 3;
// Every byte yields at most two units (a character of the locale's encoding
// that lies outside the 16-bit range), plus one for a sequence left open at
// the end of the file.
const size_t kMaxUnitsPerBlock = 2 * (kCarryBytes + kBlockBytes) + 1;
const char16_t kReplacement = 0xFFFD;

// The unit that stands for a byte which is not valid text: the same lone
// surrogate that widen_lib gives it, so that narrow_lib writes the byte
// back. Only bytes from 0x80 up are ever invalid here.
char16_t escapedByte(unsigned char b) { return static_cast<char16_t>(0xDC00 + b); }

// Turns the bytes of a file, block by block, into UTF-16 units. A character
// cut by the end of a block is completed with the next block. Text in the
// locale's encoding keeps every byte: a byte that is not valid text becomes
// an escaped byte and a zero byte becomes U+0000, so that writing the file
// back gives the same bytes. UTF-16 text (either byte order, after its
// byte-order mark) is written back in the locale's encoding, so a unit that
// is not text there (a lone surrogate, an odd last byte) becomes U+FFFD.
class BlockDecoder {
 public:
  BlockDecoder() : encoding_(kUnknown), pendingHigh_(0) {}
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
      case kUtf16be:
        *usedBytes = start + decodeUtf16(bytes + start, n - start, atEnd, out, &units);
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
  enum Encoding { kUnknown, kUtf8, kLocale, kUtf16le, kUtf16be };

  // Called with the first block; returns the number of bytes of a
  // byte-order mark to skip.
  size_t chooseEncoding(const unsigned char* bytes, size_t n) {
    if (n >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
      encoding_ = kUtf16le;
      return 2;
    }
    if (n >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
      encoding_ = kUtf16be;
      return 2;
    }
    encoding_ = textcodec::localeIsUtf8() ? kUtf8 : kLocale;
    if (encoding_ == kLocale) {
      locale_.reset(new textcodec::LocaleDecoder);
      if (!locale_->ready()) encoding_ = kUtf8;
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
        out[(*units)++] = s[i++];
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
        out[(*units)++] = escapedByte(s[i++]);
      }
    }
    return i;
  }

  size_t decodeUtf16(const unsigned char* s, size_t n, bool atEnd, char16_t* out, size_t* units) {
    const bool little = encoding_ == kUtf16le;
    size_t i = 0;
    for (; i + 1 < n; i += 2) {
      char16_t u = little ? static_cast<char16_t>(s[i] | (s[i + 1] << 8))
                          : static_cast<char16_t>((s[i] << 8) | s[i + 1]);
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
      } else if (u >= 0xDC00 && u <= 0xDFFF) {
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

  // For a locale whose encoding is not UTF-8. A character cut by the end
  // of a block is left for the next block, whole, so that if it turns out
  // invalid its bytes are still at hand to be kept.
  size_t decodeLocale(const unsigned char* s, size_t n, bool atEnd, char16_t* out,
                      size_t* units) {
    size_t i = 0;
    while (i < n) {
      char32_t cp;
      int used = locale_->decode(s + i, n - i, &cp);
      if (used == 0 && !atEnd) break;
      if (used <= 0) {
        out[(*units)++] = s[i] >= 0x80 ? escapedByte(s[i]) : s[i];
        locale_->reset();
        ++i;
        continue;
      }
      putCodePoint(cp, out, units);
      i += static_cast<size_t>(used);
    }
    return i;
  }

  Encoding encoding_;
  char16_t pendingHigh_;  // a UTF-16 high surrogate waiting for its partner
  std::unique_ptr<textcodec::LocaleDecoder> locale_;  // only for the kLocale encoding
};

// A hash of text with ASCII letters folded, as compare_nocase compares:
// texts that match have equal hashes (FNV-1a over the folded units).
uint64_t foldedHash(const stdx::u16string& text, uint64_t h = 14695981039346656037ull) {
  const char16_t* p = text.data();
  for (size_t i = 0, n = text.size(); i < n; ++i) {
    char16_t c = p[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    h = (h ^ c) * 1099511628211ull;
  }
  return h;
}

// Positions in a ConfigFile filed by hash, in one flat array (open
// addressing, linear probing): no allocation per entry, one to free.
// Entries are only added. A hash may be shared by different texts, so the
// caller confirms every hit.
class PlaceTable {
 public:
  struct Slot {
    uint64_t hash;
    size_t item;   // kEmpty in a free slot
    size_t value;  // unused in the table of keys
  };
  static const size_t kEmpty = static_cast<size_t>(-1);

  explicit PlaceTable(size_t expected) { rebuild(capacityFor(expected)); }

  // The first slot with this hash that confirm(slot) accepts, or null.
  template <class Confirm>
  Slot* find(uint64_t hash, Confirm confirm) {
    for (size_t i = home(hash); slots_[i].item != kEmpty; i = (i + 1) & mask_)
      if (slots_[i].hash == hash && confirm(slots_[i])) return &slots_[i];
    return nullptr;
  }

  void add(uint64_t hash, size_t item, size_t value) {
    if ((used_ + 1) * 2 > slots_.size()) {
      std::vector<Slot> old;
      old.swap(slots_);
      rebuild(old.size() * 2);
      for (const Slot& slot : old)
        if (slot.item != kEmpty) put(slot);
    }
    put(Slot{hash, item, value});
  }

 private:
  static size_t capacityFor(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    return capacity;
  }
  // Every bit of the hash moves the starting slot, so that keys that
  // differ only at their end do not crowd into neighbouring slots.
  size_t home(uint64_t hash) const {
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return static_cast<size_t>(hash) & mask_;
  }
  void rebuild(size_t capacity) {
    slots_.assign(capacity, Slot{0, kEmpty, 0});
    mask_ = capacity - 1;
    used_ = 0;
  }
  void put(const Slot& slot) {
    size_t i = home(slot.hash);
    while (slots_[i].item != kEmpty) i = (i + 1) & mask_;
    slots_[i] = slot;
    ++used_;
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

// What adding a pair needs to know, found by hashing: the last item of
// each key, and where each value of each key is. Reading adds line
// after line, so without it a file of n keys costs n squared comparisons.
// Lives for one read; the ConfigFile stays a plain value that its owner may
// change freely between reads.
class ItemIndex {
 public:
  ItemIndex(ConfigFile& config, size_t expectedLines)
      : config_(config), lastItem_(config.items.size() + expectedLines),
        values_(config.items.size() + expectedLines) {
    config.items.reserve(config.items.size() + expectedLines);
    for (size_t i = 0; i < config.items.size(); ++i) {
      const ConfigFileItem& item = config.items[i];
      const uint64_t keyHash = foldedHash(item.key);
      PlaceTable::Slot* last = findLastItem(keyHash, item.key);
      if (last != nullptr) {
        last->item = i;  // a later item of the same key
      } else {
        lastItem_.add(keyHash, i, 0);
      }
      for (size_t v = 0; v < item.values.size(); ++v)
        values_.add(foldedHash(item.values[v], keyHash), i, v);
    }
  }
  ItemIndex(const ItemIndex&) = delete;
  ItemIndex& operator=(const ItemIndex&) = delete;

  // Drops the pair when an item of the key holds the value already;
  // otherwise appends the value to the last item of the key, or to a new
  // item at the end. In constant time.
  void addValue(const stdx::u16string& key, const stdx::u16string& value) {
    std::vector<ConfigFileItem>& items = config_.items;
    const uint64_t keyHash = foldedHash(key);
    const uint64_t pairHash = foldedHash(value, keyHash);
    auto sameKeyAndValue = [&](const PlaceTable::Slot& slot) {
      const ConfigFileItem& item = items[slot.item];
      return matches(item.key, key) && matches(item.values[slot.value], value);
    };
    if (values_.find(pairHash, sameKeyAndValue) != nullptr) return;
    size_t last;
    PlaceTable::Slot* found = findLastItem(keyHash, key);
    if (found != nullptr) {
      last = found->item;
    } else {
      last = items.size();
      items.push_back(ConfigFileItem{key, {}});
      lastItem_.add(keyHash, last, 0);
    }
    items[last].values.push_back(value);
    values_.add(pairHash, last, items[last].values.size() - 1);
  }

 private:
  PlaceTable::Slot* findLastItem(uint64_t keyHash, const stdx::u16string& key) {
    return lastItem_.find(keyHash, [&](const PlaceTable::Slot& slot) {
      return matches(config_.items[slot.item].key, key);
    });
  }

  ConfigFile& config_;
  PlaceTable lastItem_;  // one slot per distinct key
  PlaceTable values_;    // one slot per value, hashed by key and value together
};

// Splits decoded text into lines and lines into key and value. Characters
// are gathered in a fixed buffer that is appended to the key or value text
// only when it fills up or the part ends, so that long keys and values cost
// no allocation per character.
//
// Memory stays near the text's own size: a long part is given, once, room
// for all the file can still hold (a byte never yields more than one unit),
// instead of growing by copies that would hold the old and the new block
// at once; a part that ends far short of that room is copied to its size.
class LineScanner {
 public:
  explicit LineScanner(ItemIndex& index) : index_(index), inValue_(false), gathered_(0) {}
  LineScanner(const LineScanner&) = delete;
  LineScanner& operator=(const LineScanner&) = delete;

  // remainingBytes: the bytes of the file not yet decoded, a bound on the
  // units still to come.
  void feed(const char16_t* units, size_t n, unsigned long long remainingBytes) {
    remainingBytes_ = remainingBytes;
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
  static const size_t kLargePartUnits = 1 << 16;

  void flushGathered() {
    stdx::u16string& part = inValue_ ? value_ : key_;
    const size_t needed = part.size() + gathered_;
    if (part.size() >= kLargePartUnits && part.capacity() < needed + 8)
      part.reserve(needed + kGatherUnits + kMaxUnitsPerBlock + static_cast<size_t>(remainingBytes_));
    part.append(gather_, gathered_);
    gathered_ = 0;
  }

  static void fitToSize(stdx::u16string& part) {
    if (part.size() >= kLargePartUnits && part.capacity() > part.size() + part.size() / 4)
      part = stdx::u16string(part.data(), part.size());
  }

  // An empty line, and a line that is "=" alone, add nothing.
  void endLine() {
    flushGathered();
    if (!key_.empty() || !value_.empty()) {
      fitToSize(key_);
      fitToSize(value_);
      index_.addValue(key_, value_);
    }
    key_.clear();
    value_.clear();
    inValue_ = false;
  }

  ItemIndex& index_;
  stdx::u16string key_;
  stdx::u16string value_;
  bool inValue_;
  size_t gathered_;
  unsigned long long remainingBytes_ = 0;
  char16_t gather_[kGatherUnits];
};

// --- writing ---------------------------------------------------------------

// A line break inside a key or value would end its line and make the rest
// a line of its own. A carriage return at the very end is the line end of
// a file written with CR LF, kept as it was read.
bool breaksLine(const stdx::u16string& text) {
  const char16_t* p = text.data();
  for (size_t i = 0, n = text.size(); i < n; ++i)
    if (p[i] == u'\n' || (p[i] == u'\r' && i + 1 < n)) return true;
  return false;
}

// Gathers the narrowed text in a buffer and hands it to the file in
// blocks: a long value is narrowed piece by piece, never whole, so writing
// needs no second copy of the configuration. The first failure is kept and
// ends the writing.
class TextSink {
 public:
  explicit TextSink(FileReplacer& out) : out_(out) { buffer_.reserve(kBufferBytes); }

  void put(const char* data, size_t n) {
    if (error_.failed()) return;
    if (buffer_.size() + n > kBufferBytes) flush();
    if (n >= kBufferBytes) {
      if (!error_.failed()) error_ = out_.write(data, n);
      return;
    }
    buffer_.insert(buffer_.end(), data, data + n);
  }

  void putText(const stdx::u16string& text) {
    const size_t n = text.size();
    for (size_t at = 0; at < n && !error_.failed();) {
      size_t take = n - at < kPieceUnits ? n - at : kPieceUnits;
      // A pair of surrogates is one character: never cut between them.
      if (at + take < n && text[at + take - 1] >= 0xD800 && text[at + take - 1] <= 0xDBFF) --take;
      stdx::string bytes = narrow_lib(take == n ? text : text.substr(at, take));
      put(bytes.data(), bytes.size());
      at += take;
    }
  }

  void flush() {
    if (!error_.failed() && !buffer_.empty()) error_ = out_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

  const FileError& error() const { return error_; }

 private:
  static const size_t kBufferBytes = 1 << 16;
  static const size_t kPieceUnits = 1 << 14;

  FileReplacer& out_;
  std::vector<char> buffer_;
  FileError error_;
};

// True when text begins with bytes that the reader takes for a byte-order
// mark. Only a key can: "=" is part of no mark.
bool looksLikeByteOrderMark(const stdx::string& text) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  return (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) ||
         (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF);
}

void writeItems(TextSink& sink, const ConfigFile& config) {
  bool first = true;
  for (const ConfigFileItem& item : config.items) {
    if (item.values.empty()) continue;
    stdx::string key = narrow_lib(item.key);
    // A first key that begins like a byte-order mark (its bytes kept from a
    // later line of a file, or a U+FEFF) would be taken for one when the
    // file is read again, and the text misread or the key changed. A UTF-8
    // mark in front is read and dropped, and keeps the key as it is.
    if (first && textcodec::localeIsUtf8() && looksLikeByteOrderMark(key))
      sink.put("\xEF\xBB\xBF", 3);
    first = false;
    for (const stdx::u16string& value : item.values) {
      sink.put(key.data(), key.size());
      sink.put("=", 1);
      sink.putText(value);
      sink.put("\n", 1);
    }
  }
  sink.flush();
}

}  // namespace

// --- ConfigFile ----------------------------------------------------------------

const std::vector<stdx::u16string>* ConfigFile::findValues(const stdx::u16string& key) const {
  for (const ConfigFileItem& item : items)
    if (matches(item.key, key)) return &item.values;
  return nullptr;
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

// --- reading and writing files ---------------------------------------------------

// What a read may change in a ConfigFile: items are appended and values
// are appended to items. Remembering the sizes is enough to undo it.
class ConfigMark {
 public:
  explicit ConfigMark(const ConfigFile& config) : items_(config.items.size()) {
    values_.reserve(config.items.size());
    for (const ConfigFileItem& item : config.items) values_.push_back(item.values.size());
  }
  void restore(ConfigFile& config) const {
    config.items.resize(items_);
    for (size_t i = 0; i < items_; ++i) config.items[i].values.resize(values_[i]);
  }

 private:
  size_t items_;
  std::vector<size_t> values_;
};

// A guess at the number of lines, to size the index once; it grows past
// the guess as needed, so a file of one long line costs a table for a
// million lines at most, not for its size over 64.
size_t expectedLines(unsigned long long sizeBytes) {
  const unsigned long long kMostExpected = 1 << 20;
  unsigned long long lines = sizeBytes / 64;
  return static_cast<size_t>(lines < kMostExpected ? lines : kMostExpected);
}

static FileError readInto(FileReader& file, ConfigFile& config) {
  BlockDecoder decoder;
  ItemIndex index(config, expectedLines(file.sizeBytes()));
  LineScanner scanner(index);
  unsigned char bytes[kCarryBytes + kBlockBytes];
  char16_t units[kMaxUnitsPerBlock];
  size_t carried = 0;
  unsigned long long consumed = 0;
  for (;;) {
    size_t got = 0;
    FileError error = file.read(bytes + carried, kBlockBytes, &got);
    if (error.failed()) return error;
    consumed += got;
    // A short read comes only at the end of the file.
    bool atEnd = got < kBlockBytes;
    size_t available = carried + got;
    size_t used = 0;
    size_t n = decoder.decode(bytes, available, atEnd, units, &used);
    carried = available - used;
    unsigned long long left = file.sizeBytes() > consumed ? file.sizeBytes() - consumed : 0;
    scanner.feed(units, n, left + carried);
    memmove(bytes, bytes + used, carried);
    if (atEnd) break;
  }
  scanner.finish();
  return FileError();
}

FileError read_config_file(const stdx::u16string& path, ConfigFile& config) {
  FileReader file;
  FileError error = file.open(path);
  // A FIFO or device holds no text of ours: it reads as empty, and opening
  // it did not wait.
  if (error.code == ERROR_BAD_FILE_TYPE && error.errnoValue == 0) return FileError();
  if (error.failed()) return error;
  ConfigMark mark(config);
  try {
    error = readInto(file, config);
  } catch (const std::bad_alloc&) {
    error = FileError::fromErrno(ENOMEM, path);
  } catch (const std::length_error&) {
    error = FileError::fromErrno(EFBIG, path);
  }
  if (error.failed()) mark.restore(config);
  return error;
}

namespace {

FileError writeConfig(const stdx::u16string& path, const ConfigFile& config, const FileStamp* expected,
                      int& replaced) {
  replaced = -1;
  for (const ConfigFileItem& item : config.items) {
    if (item.values.empty()) continue;
    bool refused = breaksLine(item.key);
    for (const stdx::u16string& value : item.values) refused = refused || breaksLine(value);
    if (refused) {
      FileError error = FileError::fromErrno(EINVAL, path);
      error.code = ERROR_INVALID_DATA;
      return error;
    }
  }
  FileReplacer out;
  FileError error = out.begin(path);
  if (error.failed()) return error;
  try {
    TextSink sink(out);
    writeItems(sink, config);
    if (sink.error().failed()) return sink.error();
  } catch (const std::bad_alloc&) {
    return FileError::fromErrno(ENOMEM, path);
  }
  return expected != nullptr ? out.commit(*expected, replaced) : out.commit();
}

}  // namespace

FileError write_config_file(const stdx::u16string& path, const ConfigFile& config) {
  int replaced;
  return writeConfig(path, config, nullptr, replaced);
}

FileError write_config_file(const stdx::u16string& path, const ConfigFile& config,
                            const FileStamp& expected, int& replaced) {
  return writeConfig(path, config, &expected, replaced);
}
