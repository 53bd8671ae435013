#include "install/rollback.h"

#include <stdlib.h>

stdx::u16string current_run_tag() {
  // Computed once: the pid and start of this process do not change.
  static const stdx::u16string tag = [] {
    int pid = static_cast<int>(getpid());
    return string_uito(static_cast<unsigned>(pid), 10) + u"-" +
           widen_lib(stdx::string(std::to_string(process_start_ticks(pid)).c_str()));
  }();
  return tag;
}

bool parse_run_name(const stdx::u16string& name, stdx::u16string& tag) {
  stdx::u16string prefix(kRunNamePrefix);
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  stdx::string rest = narrow_lib(name.substr(prefix.size()));
  const char* p = rest.c_str();
  char* end = nullptr;
  unsigned long value = strtoul(p, &end, 10);
  if (end == p || *end != '-' || value == 0 || value > 0x7FFFFFFFul) return false;
  const char* start = end + 1;
  strtoull(start, &end, 10);
  if (end == start || *end != '-') return false;
  tag = widen_lib(stdx::string(rest.substr(0, static_cast<size_t>(end - rest.c_str())).c_str()));
  return true;
}
