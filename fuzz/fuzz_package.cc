// The package path from raw bytes: the bytes are a package file; it is
// opened (inflated, parsed, checksums checked) and, when that succeeds,
// installed by the install run into a target directory deep inside the
// scratch directory. Nothing may appear outside the target, the temporary
// directory must be empty again once the reader is gone, and every member
// name the reader accepted must stay inside the target.
#include <stdlib.h>

#include <filesystem>

#include "fuzz/fuzz_support.h"
#include "install/installer.h"

using namespace fuzz_support;

namespace {

std::string g_tmp, g_package, g_outer, g_inner, g_target;

stdx::u16string wide(const std::string& s) { return widen_lib(stdx::string(s.c_str())); }

// Each level above the target must hold exactly its one entry.
void checkNothingLeft(const std::string& dir, const std::vector<std::string>& expected) {
  std::vector<std::string> found = entries(dir);
  if (found == expected) return;
  std::string list;
  for (const std::string& name : found) list += " " + name;
  fail("unexpected entries in " + dir + ":" + list);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& root = scratch();
  g_tmp = root + "/tmp";
  g_package = root + "/kxq5.dpk";
  g_outer = root + "/box";
  g_inner = g_outer + "/box";
  g_target = g_inner + "/target";
  std::filesystem::create_directories(g_tmp);
  std::filesystem::create_directories(g_inner);
  setenv("TMPDIR", g_tmp.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeBytes(g_package, data, size);
  {
    PackageReader reader;
    FsResult code = reader.open(wide(g_package));
    if (code == 0) {
      for (size_t i = 0; i < reader.files.size(); ++i)
        check(config::isMemberName(reader.files[i].name), "accepted a member name that leaves the target");
      InstallProcessData processData;
      processData.init(&reader, wide(g_target));
      Installer installer(0);
      installer.run(&processData);
    } else {
      check(reader.files.empty(), "a failed open left members");
      check(reader.imageHandle() == INVALID_HANDLE_VALUE, "a failed open left its image");
    }
  }
  checkNothingLeft(g_tmp, {});
  checkNothingLeft(scratch(), {"box", "kxq5.dpk", "tmp"});
  checkNothingLeft(g_outer, {"box"});
  std::vector<std::string> inner = entries(g_inner);
  check(inner.empty() || inner == std::vector<std::string>{"target"}, "something beside the target");
  removeTree(g_target);
  return 0;
}
