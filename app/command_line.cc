#include "app/command_line.h"

#include <libintl.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "app/startup.h"

namespace {

// The toolkit takes these out of the command line itself: they are not
// ours to name as ignored.
bool is_toolkit_option(const char* arg) {
  static const char* const kPrefixes[] = {"--display", "--screen", "--sync", "--name", "--class",
                                          "--gtk-", "--gdk-", "--g-fatal-warnings"};
  for (const char* prefix : kPrefixes)
    if (strncmp(arg, prefix, strlen(prefix)) == 0) return true;
  return false;
}

}  // namespace

const char* usage_text() {
  return "usage: setup [usecwd] [-S] [-N] [-V | -U | -R] [-D DIRECTORY] [-K KEYFILE] [-l LOGFILE] [-L CODE]\n"
         "  usecwd        first argument only: take kxq5.dpk from the current directory\n"
         "  -S            install without asking (without a display: no window at all)\n"
         "  -N            dry run: print what an install would change, change nothing\n"
         "  -V            verify: compare the template directory with the package\n"
         "  -U            remove the package's unchanged files (with -N: only say which)\n"
         "  -R            repair: make every file the package's again (with -N: only say how)\n"
         "  -D DIRECTORY  the template directory (written right after -D, no blank)\n"
         "  -K KEYFILE    install only a package signed with this public key\n"
         "  -l LOGFILE    append what the run did with each member, and how it ended\n"
         "  -L CODE       interface language: ru uk en lv lt ro de bg ka kk vi tr\n"
         "  -h, --help    print this text\n"
         "Exit status: 0 done, 1 not started, 2 failed and rolled back, 3 cancelled,\n"
         "4 installed but not registered, 5 verify found drift,\n"
         "6 removed what was unchanged and kept files that were changed or added.\n";
}

CommandLine scan_command_line(int argc, char** argv) {
  CommandLine line;
  int first = 1;
  if (argc >= 2 && argv[1] != nullptr && strcmp(argv[1], "usecwd") == 0) {
    line.useCwd = true;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "-?") == 0 || strcmp(arg, "--help") == 0) {
      line.help = true;
      continue;
    }
    if (is_toolkit_option(arg)) continue;
    // The log's file is the next argument, whatever it looks like. Only
    // "-l" alone: "-lru" is still a language.
    if (strcmp(arg, "-l") == 0) {
      line.hasLog = true;
      line.logPath = i + 1 < argc && argv[i + 1] != nullptr ? stdx::string(argv[++i]) : stdx::string();
      continue;
    }
    if ((arg[0] != '-' && arg[0] != '/') || arg[1] == '\0') {
      line.ignored.push_back(stdx::string(arg));
      line.unknownIgnored = true;
      continue;
    }
    // Clearing bit 5 folds s and l to upper case.
    char option = static_cast<char>(arg[1] & ~0x20);
    // After the first L option only D counts: the target is where the
    // templates go, and a script that names it last must not install
    // elsewhere without a word.
    // N and V write nothing, so they count there as well: a script that
    // asks a question last must not get an install instead.
    if (arg[1] == 'N') {
      line.dryRun = true;
      continue;
    }
    if (arg[1] == 'V') {
      line.verify = true;
      continue;
    }
    // Remove and repair write, but a script that names them last still
    // means them, not an install.
    if (arg[1] == 'U') {
      line.remove = true;
      continue;
    }
    if (arg[1] == 'R') {
      line.repair = true;
      continue;
    }
    // A key narrows what may be installed: wherever it stands, it counts.
    // Only with "-": "/K..." may be a path given by mistake.
    if (arg[0] == '-' && arg[1] == 'K') {
      line.hasKey = true;
      if (arg[2] != '\0' || i + 1 >= argc || argv[i + 1] == nullptr) {
        line.keyPath = stdx::string(arg + 2);
      } else {
        line.keyPath = stdx::string(argv[++i]);
      }
      continue;
    }
    bool known = option == 'S' || option == 'L' || arg[1] == 'D';
    if (line.hasLanguage && arg[1] != 'D') {
      line.ignored.push_back(stdx::string(arg));
      line.unknownIgnored = line.unknownIgnored || !known;
      continue;
    }
    if (!known) {
      line.ignored.push_back(stdx::string(arg));
      line.unknownIgnored = true;
      continue;
    }
    if (option == 'S') {
      line.silent = true;
    } else if (arg[1] == 'D') {
      // Only the capital: with a folded d, a path given as an argument
      // ("/dev/x", "/data") would become a target relative to the current
      // directory ("ev/x") and be filled without a word.
      line.hasTarget = true;
      line.targetText = stdx::string(arg + 2);
    } else if (option == 'L') {
      line.hasLanguage = true;
      line.languageCode = stdx::string(arg + 2);
    }
  }
  return line;
}

stdx::u16string target_from_option(const stdx::string& text) {
  return entered_target_dir(widen_lib(text));
}

LanguageChoice choose_language(const CommandLine& line, const char* localeName) {
  LanguageChoice choice;
  if (line.hasLanguage) {
    LangIdType id = get_lang_id_by_lang_code(line.languageCode);
    if (id != LANG_NONE) {
      choice.language = id;
      choice.code = widen_lib(line.languageCode);
      return choice;
    }
  }
  if (localeName != nullptr) {
    stdx::string prefix(localeName);
    if (prefix.size() > 2) prefix = prefix.substr(0, 2);
    LangIdType id = get_lang_id_by_lang_code(prefix);
    if (id != LANG_NONE) {
      choice.language = id;
      choice.code = widen_lib(prefix);
      return choice;
    }
  }
  return choice;  // English, "en"
}

void set_toolkit_language(const stdx::string& code) {
  // LANGUAGE outranks the locale in the catalogue search; an empty code
  // would mean "no preference", so English is asked for by name.
  setenv("LANGUAGE", code.empty() ? "en" : code.c_str(), 1);
  const char* current = setlocale(LC_MESSAGES, nullptr);
  stdx::string messages = current != nullptr ? current : "C";
  if (messages == "C" || messages == "POSIX") {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (setlocale(LC_MESSAGES, name) != nullptr) break;
    }
  }
  // The catalogue lookup caches translations and does not look at
  // LANGUAGE again on its own; naming the text domain anew, even as it
  // was, makes it forget them.
  textdomain(textdomain(nullptr));
}
