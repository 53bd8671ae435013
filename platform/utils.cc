#include "platform/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

int run_linux_command(const char* command) { return system(command); }

int run_program(const char* const* argv) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      if (devnull > STDERR_FILENO) close(devnull);
    }
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

stdx::u16string get_one_line_output(const stdx::u16string& command) {
  stdx::string cmd = narrow_lib(command);
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return stdx::u16string();
  char buf[255];
  memset(buf, 0, sizeof buf);
  stdx::string line;
  if (fgets(buf, sizeof buf, pipe) != nullptr) {
    size_t n = strlen(buf);
    if (n > 0) line.assign(buf, n - 1);
  }
  pclose(pipe);
  return widen_lib(line);
}

stdx::u16string home_dir() {
  wordexp_t w;
  if (wordexp("~", &w, WRDE_NOCMD) != 0) return stdx::u16string();
  stdx::u16string result;
  if (w.we_wordc > 0 && w.we_wordv[0] != nullptr) result = widen_lib(stdx::string(w.we_wordv[0]));
  wordfree(&w);
  return result;
}

bool isDiskRoot(const stdx::u16string& path) { return path.size() == 1 && path[0] == u'/'; }

FILE* _wfopen(const char16_t* path, const char16_t* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  stdx::string p = narrow_lib(stdx::u16string(path));
  stdx::string m = narrow_lib(stdx::u16string(mode));
  // The callers decode bytes themselves: keep the plain mode only.
  size_t comma = m.find(',');
  if (comma != stdx::string::npos) m = m.substr(0, comma);
  stdx::string clean;
  for (size_t i = 0; i < m.size(); ++i)
    if (m[i] != ' ') clean.push_back(m[i]);
  if (clean.find('e') == stdx::string::npos) clean.push_back('e');  // close on exec
  return fopen(p.c_str(), clean.c_str());
}

int Sleep(int milliseconds) {
  if (milliseconds <= 0) return 0;
  return usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

unsigned long long process_start_ticks(int pid) {
  char name[64];
  snprintf(name, sizeof name, "/proc/%d/stat", pid);
  FILE* f = fopen(name, "re");
  if (f == nullptr) return 0;
  char line[1024];
  size_t n = fread(line, 1, sizeof line - 1, f);
  fclose(f);
  line[n] = '\0';
  // The command name may hold spaces and parentheses: count fields from
  // the last ")". The start time is field 22; field 3 follows the ")".
  const char* p = strrchr(line, ')');
  if (p == nullptr) return 0;
  int field = 2;
  for (++p; *p != '\0' && field < 22; ++p) {
    if (*p == ' ') ++field;
  }
  return field == 22 ? strtoull(p, nullptr, 10) : 0;
}
