#include "bench/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_common.h"

extern char** environ;

namespace bench {
namespace {

// This process's environment with HOME and TMPDIR replaced, for a child.
std::vector<std::string> childEnvironment(const std::string& home, const std::string& temp) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "TMPDIR=", 7) != 0) env.push_back(*e);
  }
  env.push_back("HOME=" + home);
  env.push_back("TMPDIR=" + temp);
  return env;
}

}  // namespace

int runProcess(const std::vector<std::string>& args, const std::string& outFile) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!outFile.empty()) {
      int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) dup2(fd, 1);
    }
    std::vector<char*> argv;
    for (size_t i = 0; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SetupSpawn::SetupSpawn(const std::string& setup, bool silent, const std::string& home,
                       const std::string& temp)
    : env(childEnvironment(home, temp)), args{setup, "usecwd"} {
  if (silent) args.push_back("-S");
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
}

pid_t SetupSpawn::start(const std::string& packageDir, const std::string& logFile) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
  if (chdir(packageDir.c_str()) != 0) _exit(126);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

int runSetup(const std::string& setup, const std::string& packageDir, const std::string& home,
             const std::string& temp, const std::string& logFile, double& seconds, long& hwmKib) {
  SetupSpawn spawn(setup, true, home, temp);
  double t0 = now();
  pid_t pid = spawn.start(packageDir, logFile);
  if (pid < 0) return -1;
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  seconds = now() - t0;
  hwmKib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TimedRun runTimed(const std::vector<std::string>& args, const std::vector<std::string>* env,
                  const std::string& cwd, const std::string& logFile) {
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (env != nullptr) {
    for (const std::string& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  char* const* childEnv = env != nullptr ? envp.data() : environ;
  TimedRun run;
  double t0 = now();
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    int fd = open(logFile.empty() ? "/dev/null" : logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), childEnv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.seconds = now() - t0;
  run.hwmKib = usage.ru_maxrss;
  run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::string> scriptEnvironment(const std::string& home, const std::string& temp) {
  std::vector<std::string> env;
  for (const std::string& e : childEnvironment(home, temp)) {
    if (e.compare(0, 8, "DISPLAY=") != 0 && e.compare(0, 16, "WAYLAND_DISPLAY=") != 0) env.push_back(e);
  }
  return env;
}

std::string findProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0 ? program : "";
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') {
      std::string candidate = dir + "/" + program;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
        return candidate;
    }
    start = end + 1;
  }
  return "";
}

std::string head(const std::string& path, size_t limit) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return std::string();
  std::string text(limit, '\0');
  text.resize(fread(&text[0], 1, limit, f));
  fclose(f);
  return text;
}

std::vector<std::string> tarCommand(int level, const char* mode, const std::string& tarball,
                                    const std::string& dir) {
  std::vector<std::string> args = {"tar", std::string(mode) + "f", tarball, "-C", dir};
  if (level == 6) args[1] = std::string(mode) + "zf";
  else args.insert(args.begin() + 1, "--use-compress-program=gzip -" + std::to_string(level));
  if (mode[1] == 'c') args.push_back(".");
  return args;
}

std::string selfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("bench_install");
}

}  // namespace bench
