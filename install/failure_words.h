// Every text a user reads about a failed install run is chosen here: the
// heading that says what went wrong, the line that names the file or
// folder and the cause, and the lines for whatever the undo could not put
// back. Callers carry codes, errnos and paths up to this module and show
// what it returns; they never build or take apart such a text themselves.
// The texts are in the interface language; the system's own words (for a
// cause without a text of ours) come from strerror. No raw error number is
// ever shown. Safe on any thread (the texts are read-only).
#pragma once

#include <errno.h>
#include <stdint.h>

#include <vector>

#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/stdx_string.h"

// What failed, as the failing step saw it: the Win32-style code, the
// system's errno behind it (0 when the failure did not come from the
// system) and the file or folder it concerns. Made where the run failed
// and handed up unchanged to whoever reports it.
struct InstallFailure : FileError {
  InstallFailure() = default;
  // The one way a file's failure becomes the run's: everything it says is
  // kept, and the run's own facts start empty.
  explicit InstallFailure(const FileError& error) : FileError(error) {}
  bool packageFailed = false;  // the package was at fault, not the target
  // A whole cause line, made here for a step that found what stops it (a
  // link in the way, too little room); when set, it is what the user is told.
  stdx::u16string line;
};

namespace config {

// Where a failure of the package's side lies, so that the user is told
// what to mend: the package's bytes are bad (no errno: the only case that
// is the package's fault), the package file could not be read, or the
// image could not be written or read back in the temporary directory. The
// last two keep the errno of the call that failed and name their file.
struct ImageFailure {
  enum Side { kNone, kPackageBytes, kPackageFile, kTempDir };
  FsResult result;
  Side side = kNone;
  stdx::u16string path;  // the package file, or the temporary directory (maybe with a final "/")
};

}  // namespace config

// One thing the undo of a run could not put right.
struct UndoFailure {
  enum Step {
    kDelete,        // a file the run made stays (path)
    kRefused,       // the folder path refused to let go of the files the run made in it
    kRestore,       // a replaced file could not be put back (path); its old copy stays at kept
    kRemoveFolder,  // a folder the run made stays (path)
    kReach,         // the folder path could not be opened to undo what the run did in it
  };
  Step step = kDelete;
  stdx::u16string path;  // full path
  stdx::u16string kept;  // kRestore: where the old copy stays
  unsigned code = 0;     // the failing call's code
  int errnoValue = 0;    // and its errno (0 when the system gave none)
};

// How a run ended: installer.h.
struct InstallOutcome;

// True when errnoValue says a folder refused to take a new entry
// (permission, a read-only file system): the folder is what to name.
inline bool refused_by_folder(int errnoValue) {
  return errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS;
}

// The resource key that names the cause errnoValue stands for:
// "IDS_CAUSE_ACCESS" (EACCES, EPERM), "IDS_CAUSE_NOSPACE" (ENOSPC, EDQUOT),
// "IDS_CAUSE_READONLY" (EROFS), "IDS_CAUSE_NOTDIR" (ENOTDIR: a file stands
// where a directory is needed), "IDS_CAUSE_ISDIR" (EISDIR: a directory
// stands where a file goes), "IDS_CAUSE_LOOP" (ELOOP: symbolic links that
// lead in a circle); null for any other value.
const char* failure_cause_key(int errnoValue);

// The cause alone: a link met where the run never follows one
// (ERROR_STOPPED_ON_SYMLINK) says so whatever the errno; else the text of
// failure_cause_key, or "IDS_CAUSE_OTHER" with the system's own words in
// parentheses. Empty when neither code nor errno says anything.
stdx::u16string failure_cause(unsigned code, int errnoValue);

// One line: path, ": " and the cause of errnoValue. Empty when path is
// empty and errnoValue is 0 (nothing known).
stdx::u16string failure_cause_line(const stdx::u16string& path, int errnoValue);

// The line for a temporary directory that cannot take the package's image
// (or give back what was written there): the heading that says so, then
// the directory and the cause.
stdx::u16string temp_dir_line(const stdx::u16string& directory, int errnoValue);

// The line for a package file that is there but cannot be read: its path
// and the cause ("IDS_CAUSE_READACCESS" for a refused read, which the
// write-worded "IDS_CAUSE_ACCESS" would misstate).
stdx::u16string package_read_line(const stdx::u16string& path, int errnoValue);

// A package that is not there: the text that says so, and the folder that
// was searched (when known).
stdx::u16string package_not_found_text(const stdx::u16string& folder);

// A damaged package; when two of its members would be one entry of the
// template directory (first and second, as the package names them), a
// second line names them.
stdx::u16string damaged_package_words(const stdx::u16string& first, const stdx::u16string& second);

// The text for a failure of the package's side: the temporary directory or
// the package file named with the system's reason, or, for bad bytes, the
// damaged package's text.
stdx::u16string image_failure_text(const config::ImageFailure& failure);

// The lines a step makes when it knows better than an errno can say:
// a device, a pipe or a socket at a member's path; a symbolic link on the
// way inside the target; too little room in the target (where, the bytes
// needed and the bytes free).
stdx::u16string special_file_line(const stdx::u16string& path);
// Two members whose paths differ only in letter case, for a target that
// does not tell case apart (full paths, as the package orders them).
stdx::u16string case_clash_line(const stdx::u16string& first, const stdx::u16string& second);
stdx::u16string symlink_line(const stdx::u16string& path);
stdx::u16string target_space_line(const stdx::u16string& target, unsigned long long needed,
                                  unsigned long long available);

// Start-up and after the copy: too little room in the temporary directory
// for the unpacked package (where, then the mebibytes needed and free);
// the launcher's configuration file that could not take the template
// directory, with the cause.
stdx::u16string image_space_text(const stdx::u16string& directory, unsigned long long neededBytes,
                                 unsigned long long freeBytes);
stdx::u16string registration_failure_text(const stdx::u16string& file, const stdx::u16string& cause);

// The heading of a failure: the package's own words when the package was
// at fault, else the install error.
stdx::u16string failure_heading(const InstallFailure& failure);

// The detail of a failure: the line that says what and why (when anything
// is known; never for a package at fault), then, when the undo left
// anything behind, a line that says so and one line for each path.
stdx::u16string failure_detail(const InstallFailure& failure,
                               const std::vector<UndoFailure>& undoFailures);

// One line for what the undo could not put right: the path, what stays
// and the cause.
stdx::u16string undo_failure_line(const UndoFailure& undo);

// Heading and detail as one text, one below the other.
stdx::u16string failure_message(const stdx::u16string& heading, const stdx::u16string& detail);
// The same, straight from what failed.
stdx::u16string failure_text(const InstallFailure& failure,
                             const std::vector<UndoFailure>& undoFailures = std::vector<UndoFailure>());

// Fills outcome's heading and detail from its failure and undo failures
// (a failed outcome), or clears them (any other).
void describe_outcome(InstallOutcome& outcome);
// The outcome's heading and detail as one text, for a message box.
stdx::u16string outcome_message(const InstallOutcome& outcome);
// What the wizard's final page says after a failure: that the run
// stopped, and whether the template directory is as it was, then the
// detail.
stdx::u16string failure_page_text(const InstallOutcome& outcome);
