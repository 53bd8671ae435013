#include "app/command_line.h"

#include <libintl.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "app/startup.h"

CommandLine scan_command_line(int argc, char** argv) {
  CommandLine line;
  int first = 1;
  if (argc >= 2 && argv[1] != nullptr && strcmp(argv[1], "usecwd") == 0) {
    line.useCwd = true;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || (arg[0] != '-' && arg[0] != '/') || arg[1] == '\0') continue;
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
    if (line.hasLanguage && arg[1] != 'D') continue;
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
