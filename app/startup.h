// The start-up decisions of the installer that need no display: where the
// package lies, which template directory is offered, whether the temporary
// directory has room for the unpacked package, and which launcher
// configuration files learn the new directory. Kept free of GTK so that
// they can be tested without one; the dialog only shows their outcome.
#pragma once

#include <vector>

#include "install/installer.h"

class PackageTrust;
#include "platform/stdx_string.h"

// Name of the package file, with the separator that joins it to its folder.
constexpr const char* kPackageFileName = "/kxq5.dpk";
// The temporary directory must hold this many times the package's size:
// the unpacked image and the backups of replaced files both live there.
constexpr unsigned long long kSpaceReg = 3;

// Full path of the package: beside the executable (found through
// /proc/self/exe, so a program started through a link looks beside the
// link's target), or in the current directory when useCwd is set. Empty
// when that directory cannot be found.
stdx::u16string dpk_full_path(bool useCwd);

// Makes a launcher entry usable as a local directory: an entry that names a
// remote address (http, https, ftp) becomes empty, the first "file://" is
// dropped, and line feeds and carriage returns are removed.
void strip_address_schemes(stdx::u16string& path);

// Removes every line feed and carriage return. The launcher's file holds
// one directory per line: a line break in a directory would end its line
// and make the rest a key of its own.
void remove_line_breaks(stdx::u16string& path);

// The one cleaning of a template directory, wherever it comes from (the
// -D option, the directory page, the launcher's list), as it is installed
// into and registered: line breaks removed (a line break would end its line
// in the launcher's file), every "\" turned into "/", a leading "~" alone
// or before "/" made the home directory, and a relative path made absolute
// against the working directory. Empty when nothing is left.
stdx::u16string entered_target_dir(const stdx::u16string& text);

// Where the folder chooser opens for what the entry holds: that directory
// when it exists, else its nearest existing parent, as an absolute path in
// bytes ("\\" read as "/", a relative path taken from the current
// directory). Empty when the entry is empty (the chooser's own default).
stdx::string nearest_existing_folder(const stdx::u16string& entryText);

// The default template directory: the first entry of dirs that writable()
// accepts, each cleaned by strip_address_schemes and entered_target_dir
// before it is probed, else the platform's own "tmplts" folder. May be
// empty when the chosen entry was remote.
stdx::u16string default_template_dir(const std::vector<stdx::u16string>& dirs,
                                     bool (*writable)(const stdx::u16string&));

// The launcher's template list as the installer reads it at start: from the
// ordinary per-user family when its file exists, else from the base family
// when its file exists, else nothing.
struct LauncherTemplates {
  std::vector<stdx::u16string> dirs;
  bool baseConfigExists = false;  // the base per-user file exists
  bool baseListOnly = false;      // the list came, not empty, from the base family alone
};
LauncherTemplates read_launcher_templates();

// Which per-user configuration files the success step rewrites.
struct FamiliesToWrite {
  bool ordinary;
  bool base;
};
FamiliesToWrite families_to_write(bool baseListOnly, bool baseConfigExists);

// How the registration of the template directory went. When it failed,
// file names the configuration file that could not be read whole or
// written, errnoValue is what the system said where the call failed, and
// reason words it in the interface language.
struct Registration {
  bool failed = false;
  stdx::u16string file;
  int errnoValue = 0;
  stdx::u16string reason;
};

// Puts target (less its trailing separators) at the front of the
// launcher's list and writes the list into the families that
// families_to_write names; templateDirs gets the list written. The list is
// read again under the configuration files' locks (ConfigLocks), not taken
// from start-up: another run may have registered its own directory since,
// and that must not be lost. The first file that could not be read whole
// or written ends the step and is returned (a file that could not be read
// whole is left untouched): the templates are installed either way, but
// the launcher will not list them until someone mends that file, so the
// user must hear of it.
Registration register_template_dir(const stdx::u16string& target,
                                   std::vector<stdx::u16string>& templateDirs);

// True when entry of the launcher's list names the folder target (given
// without trailing separators), as typed or as an address of it.
bool names_folder(stdx::u16string entry, const stdx::u16string& target);

// Takes target out of the per-user launcher files that list it, under the
// same locks as the registration, every other entry and line kept. listed
// tells whether any file named it. The first file that could not be read
// whole or written ends the step and is returned, untouched.
Registration unregister_template_dir(const stdx::u16string& target, bool& listed);

// The message that reports a failed registration: the interface text, the
// file and the reason, on one line.
stdx::u16string registration_message(const Registration& registration);

// True when freeBytes holds packageBytes * kSpaceReg. Computed without
// overflow for any 64-bit size.
bool temp_space_suffices(unsigned long long packageBytes, unsigned long long freeBytes);

// True when path names a regular file (links followed) that can be read.
// A FIFO, device or directory is refused without waiting for a writer.
bool regular_file_readable(const stdx::u16string& path);

// The readme's full path: target and the package's relative name joined as
// the install run joins members, every "\" turned into "/".
stdx::u16string readme_full_path(const stdx::u16string& target, const stdx::u16string& readme);

// What the start-up checks found.
struct StartupInfo {
  stdx::u16string packagePath;
  stdx::u16string targetPath;  // the default template directory; may be empty
  LauncherTemplates launcher;
  // When the temporary directory refused the package image: which one, why.
  stdx::u16string tempDir;
  int tempErrno = 0;
  // The whole message of a refusal whose key alone does not say it all
  // (the image's room: where, how much needed, how much free); else empty.
  stdx::u16string errorText;
  // Set by the caller: the package's signature, judged as far as it can be
  // before anything is written (a refusal is "IDS_SIG_BAD" with the words
  // in errorText), then fed by the package's reads.
  PackageTrust* trust = nullptr;
};

// Finds the package, reads the launcher's list, chooses the default target,
// checks the temporary space and opens the package with reader, up to its
// header (the rest goes on inflating in the background). Returns
// null when the wizard may start, else the resource key of the message that
// explains why not: "IDS_ERROR_NOSOURCE" (with the path and the cause in
// info.errorText when the package is there but cannot be read),
// "IDS_ERROR_TMPDIR" (with the directory and the cause in info: it could
// not be written, or read back), "IDS_ERROR_NOSPACE" or
// "IDS_ERROR_DAMAGEDSOURCE" (only for bad bytes of the package).
const char* run_startup_checks(bool useCwd, PackageReader& reader, StartupInfo& info);

// The message for code, a failure of reader found after the start-up
// checks (while the wizard's pages are shown): the temporary directory or
// the package file with the system's reason, or, for bad bytes, the
// damaged package.
stdx::u16string package_failure_text(PackageReader& reader, FsResult code);

// The same checks for a run that must write nothing anywhere (the dry run
// and the verify): the default target and the temporary directory are
// judged by asking the system (a writable directory, by the effective
// ids), not by making a probe file in them, and the package is not
// opened. The keys of run_startup_checks but "IDS_ERROR_DAMAGEDSOURCE".
const char* run_readonly_checks(bool useCwd, StartupInfo& info);

// The message for a damaged package: the text of "IDS_ERROR_DAMAGEDSOURCE",
// and when two members would be one entry of the target directory, a
// second line that names them.
stdx::u16string damaged_package_text(const config::MemberClash& clash);

// The message for the key that run_startup_checks returned: the whole text
// where the checks made one (the image's room), a temporary directory that
// cannot be written is named with the reason, and a missing package also
// names the folder where it was looked for.
stdx::u16string startup_error_text(const char* key, const StartupInfo& info, bool useCwd);

// The text of "IDS_ERROR_NOSPACE_IMAGE": directory, then the bytes needed
// (rounded up) and free (rounded down) in MB.
stdx::u16string image_space_message(const stdx::u16string& directory, unsigned long long neededBytes,
                                    unsigned long long freeBytes);
