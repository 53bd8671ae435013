// The configuration reader: the bytes are a configuration file. Read it,
// write what was read, read that again: the second reading must equal the
// first, item by item and value by value.
#include <locale.h>

#include "config/config_file.h"
#include "platform/file_system.h"
#include "fuzz/fuzz_support.h"

using namespace fuzz_support;

namespace {

std::string g_first, g_second;

stdx::u16string wide(const std::string& s) { return widen_lib(stdx::string(s.c_str())); }

std::string describe(const ConfigFile& c) {
  std::string out;
  for (const ConfigFileItem& item : c.items) {
    out += "[" + std::string(narrow_lib(item.key).c_str()) + "]";
    for (const stdx::u16string& v : item.values) out += " <" + std::string(narrow_lib(v).c_str()) + ">";
    out += "\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The installer reads and writes in the locale's encoding, UTF-8 in practice.
  setlocale(LC_ALL, "C.UTF-8");
  g_first = scratch() + "/first.cfg";
  g_second = scratch() + "/second.cfg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeBytes(g_first, data, size);
  ConfigFile first;
  if (read_config_file(wide(g_first), first).failed()) fail("reading a plain file failed");
  FileError written = write_config_file(wide(g_second), first);
  // A carriage return inside a line is read as text, but the writer
  // refuses to write one that could end a line for another reader.
  if (written.code == ERROR_INVALID_DATA) return 0;
  if (written.failed()) fail("writing what was read failed with errno " + std::to_string(written.errnoValue));
  ConfigFile second;
  read_config_file(wide(g_second), second);
  bool same = first.items.size() == second.items.size();
  for (size_t i = 0; same && i < first.items.size(); ++i) {
    same = first.items[i].key == second.items[i].key && first.items[i].values == second.items[i].values;
  }
  if (!same) fail("the second reading differs:\n" + describe(first) + "---\n" + describe(second));
  return 0;
}
