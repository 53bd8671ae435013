// The command-line scan and the choice of the interface language, kept free
// of GTK so that they can be tested without a display.
#pragma once

#include <vector>

#include "platform/resources.h"
#include "platform/stdx_string.h"

struct CommandLine {
  bool useCwd = false;        // "usecwd" as the first argument
  bool silent = false;        // -S or /S before the first language option
  bool dryRun = false;        // -N or /N anywhere: say what a run would change
  bool verify = false;        // -V or /V anywhere: compare the target with the package
  bool remove = false;        // -U or /U anywhere: take the package's files back out
  bool repair = false;        // -R or /R anywhere: make every member's file the package's again
  bool hasLanguage = false;   // an L option was seen
  stdx::string languageCode;  // its text after the first two characters
  bool hasTarget = false;     // a D option was seen (the last one counts)
  stdx::string targetText;    // its text after the first two characters, as typed
  bool hasKey = false;        // a K option was seen (the last one counts)
  stdx::string keyPath;       // the trusted public key's file it names
  bool hasLog = false;        // -l FILE: the run leaves its log there
  stdx::string logPath;
  bool help = false;          // -h, -? or --help: print the usage and do nothing else
  // Arguments that mean nothing, in order: an unknown option or any other
  // argument (unknown), or a known option where it no longer counts (an S
  // or L after the first L: not unknown). A toolkit option is neither.
  std::vector<stdx::string> ignored;
  bool unknownIgnored = false;  // one of them is no option of ours at all
};

// Scans argv as the installer's switches: "usecwd" only as the exact first
// argument; options start with "-" or "/"; S selects silent mode; the first
// L option gives the language code, and after it only D, N and V options
// count; D gives the target directory wherever it stands (a later D
// replaces an earlier one); N (dry run), V (verify), U (remove) and R
// (repair) count wherever they stand. K names the trusted public key's file, in the next argument or
// right after the K, and counts wherever it stands too. D, K, N, R, U and V are
// capitals only. Nothing else means anything: the
// other arguments are collected in ignored, for the caller to name them.
// The toolkit's own options (--display, --sync, --g..., ...) are left to it.
CommandLine scan_command_line(int argc, char** argv);

// What the program takes, for -h and for a dry run or verify that was given
// an argument it does not know.
const char* usage_text();

// The template directory that a D option names: its text cleaned by
// entered_target_dir. Empty means the option named none, which is refused.
stdx::u16string target_from_option(const stdx::string& text);

struct LanguageChoice {
  LangIdType language = LANG_EN;
  stdx::u16string code = u"en";
};

// Chooses the language: the option's code when it names a language, else
// the first two characters of localeName (the process locale; may be null),
// else English.
LanguageChoice choose_language(const CommandLine& line, const char* localeName);

// Makes the toolkit's own texts (the stock Yes, No, OK and Cancel, the
// folder chooser) speak the interface language code, so that one window
// never mixes two languages: the message catalogues are asked for that
// language first. Under the "C" or "POSIX" locale catalogues are never
// consulted at all, so the message category then moves to a built-in UTF-8
// locale; the other categories stay as they are. Call it after the
// program's own setlocale and before the toolkit is initialised (which must
// then not set the locale again).
void set_toolkit_language(const stdx::string& code);
