#include "app/run_log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "install/failure_words.h"
#include "platform/printable.h"
#include "platform/resources.h"
#include "platform/utils.h"

namespace {

stdx::string g_logPath;

// path made absolute and resolved as far as it exists: its longest
// existing head through realpath (links followed), the rest as written,
// with "." dropped and ".." taking one step back.
std::string resolved(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
    absolute = std::string(cwd) + "/" + absolute;
  }
  std::string head = absolute, tail;
  char real[PATH_MAX];
  while (realpath(head.c_str(), real) == nullptr) {
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    tail = head.substr(slash + 1) + (tail.empty() ? "" : "/") + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
    if (head == "/" && realpath("/", real) == nullptr) return std::string();
  }
  std::string out = real;
  size_t at = 0;
  while (at <= tail.size() && !tail.empty()) {
    size_t next = tail.find('/', at);
    if (next == std::string::npos) next = tail.size();
    std::string part = tail.substr(at, next - at);
    at = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      size_t slash = out.find_last_of('/');
      out = slash == 0 || slash == std::string::npos ? "/" : out.substr(0, slash);
      continue;
    }
    out += (out == "/" ? "" : "/") + part;
  }
  return out;
}

const char* fate_verb(MemberFate fate, bool done) {
  switch (fate) {
    case MemberFate::kNew: return done ? "copied" : "would copy";
    case MemberFate::kOlder:
    case MemberFate::kLink: return done ? "replaced" : "would replace";
    case MemberFate::kCurrent: return "kept";
    case MemberFate::kRefused:
    case MemberFate::kLinkOnWay:
    case MemberFate::kFileOnWay:
    case MemberFate::kUnknown: break;
  }
  return "stops at";
}

const char* fate_reason(MemberFate fate) {
  switch (fate) {
    case MemberFate::kNew: return "new";
    case MemberFate::kOlder: return "an older file stood there";
    case MemberFate::kLink: return "a symbolic link stood there; the link itself is replaced";
    case MemberFate::kCurrent: return "up to date: as new as the package's or newer";
    case MemberFate::kRefused: return "a folder or a special file stands there";
    case MemberFate::kLinkOnWay: return "a symbolic link stands where one of its folders should be";
    case MemberFate::kFileOnWay: return "a file stands where one of its folders should be";
    case MemberFate::kUnknown: break;
  }
  return "it could not be looked at";
}

// text with each of its lines escaped, each line its own.
stdx::string escaped_lines(const char* prefix, const stdx::u16string& text) {
  stdx::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(u'\n', at);
    if (end == stdx::u16string::npos) end = text.size();
    if (end > at) out += prefix + narrow_lib(printable_name(text.substr(at, end - at), false)) + "\n";
    at = end + 1;
  }
  return out;
}

int write_all(int fd, const stdx::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

void set_log_option(const stdx::string& path) { g_logPath = path; }
const stdx::string& log_option() { return g_logPath; }

bool path_inside(const stdx::string& path, const stdx::string& directory) {
  std::string dir = resolved(std::string(directory.c_str()));
  std::string at = resolved(std::string(path.c_str()));
  if (dir.empty() || at.empty()) return false;
  struct stat held;
  bool dirExists = stat(dir.c_str(), &held) == 0;
  // From the path up to the root: the directory by its resolved name, or
  // by its device and inode (the same folder mounted at another place).
  for (;;) {
    if (at == dir) return true;
    struct stat seen;
    if (dirExists && stat(at.c_str(), &seen) == 0 && seen.st_dev == held.st_dev && seen.st_ino == held.st_ino)
      return true;
    if (at == "/") return false;
    size_t slash = at.find_last_of('/');
    at = slash == 0 ? "/" : at.substr(0, slash);
  }
}

stdx::u16string log_refusal(const stdx::u16string& target) {
  if (g_logPath.empty() || target.empty() || !path_inside(g_logPath, narrow_lib(target))) return stdx::u16string();
  stdx::u16string text = LoadResString("IDS_ERROR_LOGINTARGET");
  replace_all(text, u"%1", printable_name(widen_lib(g_logPath), false));
  replace_all(text, u"%2", printable_name(strip_trailing_separators(target), false));
  return text;
}

std::vector<LoggedMember> logged_members(const std::vector<MemberPlan>& plan, const stdx::u16string& target,
                                         bool done) {
  std::vector<LoggedMember> members;
  members.reserve(plan.size());
  const stdx::u16string directory = strip_trailing_separators(target);
  for (const MemberPlan& m : plan) {
    LoggedMember logged;
    logged.path = join_path(directory, m.relative);
    logged.verb = fate_verb(m.fate, done);
    logged.why = fate_reason(m.fate);
    members.push_back(std::move(logged));
  }
  return members;
}

stdx::string format_run_log(const RunSummary& summary, const char* mode, const stdx::string& ended) {
  stdx::string text = stdx::string("setup: log of a run: ") + mode + ", ended " + ended + "\n";
  for (const LoggedMember& m : summary.members)
    text += stdx::string("setup: ") + m.verb + " " + narrow_lib(printable_name(m.path)) + " (" + m.why + ")\n";
  text += stdx::string("setup: outcome: ") + summary_result(summary) + "\n";
  text += escaped_lines("setup: why: ", summary.why);
  text += format_summary(summary) + "\n\n";
  return text;
}

int write_run_log(const RunSummary& summary, const char* mode) {
  if (g_logPath.empty()) return 0;
  int err = 0;
  stdx::u16string refusal = log_refusal(summary.target);
  if (!refusal.empty()) {
    // Said when the run was refused; a run whose target came to hold the
    // log meanwhile is told here.
    err = EEXIST;
    if (!summary.logRefused && summary.result != RunResult::kNotStarted)
      fprintf(stderr, "setup: %s\n", narrow_lib(refusal).c_str());
    return err;
  }
  char ended[64] = "";
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc) != nullptr) strftime(ended, sizeof ended, "%Y-%m-%dT%H:%M:%SZ", &utc);
  stdx::string text = format_run_log(summary, mode, stdx::string(ended) + ", process " + std::to_string(getpid()).c_str());
  // Appended: a log named for several runs keeps all of them, and a file
  // named by mistake loses nothing it held. Never through a link, never
  // into a pipe or a device that would hold the run up.
  int fd = open(g_logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) {
    err = errno;
  } else {
    struct stat st;
    if (fstat(fd, &st) != 0) err = errno;
    else if (!S_ISREG(st.st_mode)) err = EINVAL;
    if (err == 0) err = write_all(fd, text);
    if (close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  }
  if (err != 0) {
    stdx::u16string head = LoadResString("IDS_ERROR_LOGNOTWRITTEN");
    replace_all(head, u"%1", printable_name(widen_lib(g_logPath), false));
    fprintf(stderr, "setup: %s %s\n", narrow_lib(head).c_str(),
            narrow_lib(failure_cause_line(stdx::u16string(), err)).c_str());
  }
  return err;
}
