// Loads the wizard's module, whose bytes the build stored inside the
// program (see wizard_module.h).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "app/wizard_module.h"
#include "platform/file_io.h"

// Put there by the linker from the module's file.
extern "C" const unsigned char _binary_setup_wizard_so_start[];
extern "C" const unsigned char _binary_setup_wizard_so_end[];

namespace {

bool in_proc(const std::string& path) { return path.compare(0, 6, "/proc/") == 0; }

// A file that holds the module's bytes and can be mapped as code: a memory
// file (inMemory), else a file in the temporary directory, named only until
// the loader has opened it.
int module_file(bool inMemory, std::string& path, int& errnoValue) {
  const unsigned char* bytes = _binary_setup_wizard_so_start;
  const size_t size = static_cast<size_t>(_binary_setup_wizard_so_end - _binary_setup_wizard_so_start);
  int fd = -1;
  if (inMemory) {
    fd = memfd_create("setup-wizard", MFD_CLOEXEC);
    if (fd >= 0) path = "/proc/self/fd/" + std::to_string(fd);
  } else {
    const char* tmp = getenv("TMPDIR");
    path = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/.setup-wizard-XXXXXX";
    fd = mkostemp(&path[0], O_CLOEXEC);
  }
  if (fd < 0) {
    errnoValue = errno;
    return -1;
  }
  int err = write_all(fd, bytes, size);
  if (err != 0) {
    errnoValue = err;
    if (!in_proc(path)) unlink(path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

WizardEntry load_wizard(int& errnoValue, stdx::string& message) {
  errnoValue = 0;
  // A memory file first; where the kernel will not map one as code (or
  // has none), a temporary file.
  for (bool inMemory : {true, false}) {
    std::string path;
    int fd = module_file(inMemory, path, errnoValue);
    if (fd < 0) continue;
    // Everything resolved now: a symbol the program lacks is said at once,
    // not when a page first needs it.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!in_proc(path)) unlink(path.c_str());
    close(fd);  // the loader keeps its own mapping
    if (handle == nullptr) {
      const char* said = dlerror();
      message = said != nullptr ? said : "";
      continue;
    }
    errnoValue = 0;
    message.clear();
    // Never unloaded: the toolkit's libraries do not support it.
    return reinterpret_cast<WizardEntry>(dlsym(handle, kWizardEntryName));
  }
  return nullptr;
}
