// The launcher's text configuration file: lines of key "=" value, one value
// per line, a key repeated on as many lines as it has values. There are no
// sections, comments, quoting or escapes; keys and values are matched
// without regard to ASCII letter case.
//
// Thread safety: a ConfigFile is a plain value; use one object from one
// thread at a time.
#pragma once

#include <vector>

#include "platform/file_io.h"
#include "platform/stdx_string.h"

struct ConfigFileItem {
  // As first spelled in the file (or as first added); may be empty.
  stdx::u16string key;
  // In the order read or added; may be empty, and then the item writes no line.
  std::vector<stdx::u16string> values;
};

class ConfigFile {
 public:
  // The values of the first item whose key matches, or null when none does.
  // The pointer is valid until the ConfigFile is next changed.
  const std::vector<stdx::u16string>* findValues(const stdx::u16string& key) const;

  // The first item with a matching key gets values as its whole sequence,
  // keeping its key text; an empty values removes that item instead. With
  // no matching item, appends a new one. Later matching items are untouched.
  void setValues(const stdx::u16string& key, const std::vector<stdx::u16string>& values);

  // In the order of first appearance or insertion, which is also the order
  // in which they are written.
  std::vector<ConfigFileItem> items;
};

// Adds the pairs of the file at path to config, without clearing it first:
// a pair whose value any item of its key already holds (letter case
// ignored) is dropped; otherwise the value joins the last item of its key,
// or a new item at the end. In time linear in the size of the file and of config
// and in memory near the size of its text. The answer is one of three:
// read whole (no failure), absent (failed() and absent(): nothing stands
// at path), or could not be read (any other failure, with the errno of the
// call that failed: a directory, no permission, a read error, too little
// memory). After a failure config is as it was before the call. A FIFO or
// device holds no text and reads as empty, and opening it never waits.
// Text is in the locale's encoding, or UTF-16 when the file begins with a
// byte-order mark (FF FE little-endian, FE FF big-endian). Locale text
// keeps every byte: a byte that is not valid text is read as the escaped
// byte that narrow_lib turns back into it, and a zero byte as U+0000, so
// lines that are written back unchanged are the same bytes. In UTF-16 text
// a lone surrogate or an odd last byte is read as U+FFFD.
FileError read_config_file(const stdx::u16string& path, ConfigFile& config);

// Replaces the file at path (or, when path is a symbolic link, the file it
// leads to) with config in the locale's encoding: key=value and a line feed
// per value, items in order, no byte-order mark (unless the first key
// begins with the bytes of one: then a UTF-8 mark goes in front, so that
// reading the file again gives the same key). The new text goes to a
// fresh file in the same directory that is renamed over the old one only
// when it has been written, flushed and closed, so a failure leaves the old
// file as it was; an existing file keeps its permission bits (FileReplacer).
// A key or value holding a line feed, or a carriage return anywhere but at
// its end, would write a line of its own: nothing is written and the
// answer is ERROR_INVALID_DATA (errno EINVAL). Otherwise a failure carries
// the errno of the call that failed (no space left: ENOSPC).
FileError write_config_file(const stdx::u16string& path, const ConfigFile& config);
// The same, as the end of a read-modify-write: the file at path must still
// be the one stamped expected when it was read, else nothing is replaced
// and the answer is EAGAIN (read again). replaced as FileReplacer::commit
// gives it: a descriptor of the old file when another program wrote into
// it as it was being replaced, else -1.
FileError write_config_file(const stdx::u16string& path, const ConfigFile& config,
                            const FileStamp& expected, int& replaced);
