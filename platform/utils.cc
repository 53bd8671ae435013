#include "platform/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

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
    // The installer ignores SIGPIPE and SIGXFSZ for its own sake; the
    // opener must not inherit that.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
