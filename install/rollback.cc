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

bool parse_run_name(const stdx::u16string& name, int& pid, unsigned long long& start) {
  stdx::u16string prefix(kRunNamePrefix);
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  stdx::string rest = narrow_lib(name.substr(prefix.size()));
  const char* p = rest.c_str();
  char* end = nullptr;
  unsigned long value = strtoul(p, &end, 10);
  if (end == p || *end != '-' || value == 0 || value > 0x7FFFFFFFul) return false;
  pid = static_cast<int>(value);
  p = end + 1;
  start = strtoull(p, &end, 10);
  if (end == p || *end != '-') return false;
  return true;
}

bool run_is_dead(int pid, unsigned long long start) {
  unsigned long long now = process_start_ticks(pid);
  return now == 0 || now != start;
}
