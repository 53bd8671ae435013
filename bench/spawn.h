// Spawning the programs the benchmark times: tar, its own install step,
// the setup program (silently, or with its window); no shell in between.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// Runs argv, its standard output into outFile when given; returns the exit
// status (-1 when it could not run).
int runProcess(const std::vector<std::string>& args, const std::string& outFile);

// A spawn of the setup program, made ready before the clock starts: its
// environment (HOME and TMPDIR replaced) and its arguments.
struct SetupSpawn {
  std::vector<std::string> env;
  std::vector<char*> envp;
  std::vector<std::string> args;
  std::vector<char*> argv;

  SetupSpawn(const std::string& setup, bool silent, const std::string& home, const std::string& temp);

  // Forks and runs the program in packageDir, its output into logFile; no
  // shell in between. The child's pid, or -1.
  pid_t start(const std::string& packageDir, const std::string& logFile);
};

// Runs the setup program silently on the package in packageDir, with HOME
// and TMPDIR replaced, its output into logFile. Returns its exit status (-1
// when it could not run or was killed) and its wall-clock time in seconds,
// from before the fork to after the reaping, and its peak resident memory.
int runSetup(const std::string& setup, const std::string& packageDir, const std::string& home,
             const std::string& temp, const std::string& logFile, double& seconds, long& hwmKib);

// One spawn timed from before the fork to after the reaping.
struct TimedRun {
  int status = -1;     // exit status; -1 when it could not run or was killed
  double seconds = 0;  // wall clock, spawn to exit
  double cpuSeconds = 0;  // processor time, user and system, of the same
  long hwmKib = 0;     // peak resident memory of the process and what it waited for
};

// Runs args[0] (an absolute path: no search inside the timing) with args,
// in cwd (empty: this one), with env (null: this process's environment),
// standard output and error into logFile; no shell in between. Everything
// the child needs is built before the clock starts.
TimedRun runTimed(const std::vector<std::string>& args, const std::vector<std::string>* env,
                  const std::string& cwd, const std::string& logFile);

// The environment of a silent setup run as a script starts it: this
// process's without the display's variables, HOME and TMPDIR replaced.
std::vector<std::string> scriptEnvironment(const std::string& home, const std::string& temp);

// The absolute path of program as PATH finds it; empty when it is absent.
std::string findProgram(const std::string& program);

// The start of a file, for a failure report.
std::string head(const std::string& path, size_t limit);

// tar -czf / -xzf, or with gzip at another level than its default 6.
std::vector<std::string> tarCommand(int level, const char* mode, const std::string& tarball,
                                    const std::string& dir);

// This program's own path, to run its install step in a process of its own.
std::string selfPath();

}  // namespace bench
