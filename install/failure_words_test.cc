#include "install/failure_words.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "install/installer.h"
#include "install/test_support.h"
#include "platform/file_system.h"
#include "platform/resources.h"

namespace {

using namespace test_support;

std::string utf8(const stdx::u16string& s) { return u8(s); }

// A text a user reads never shows a raw number: none of the codes or
// errnos behind it, whatever the language.
void expect_no_raw_number(const std::string& text, unsigned code, int errnoValue) {
  for (const std::string& number : {std::to_string(code), std::to_string(errnoValue)}) {
    if (number == "0") continue;
    EXPECT_EQ(std::string::npos, text.find(" " + number)) << text;
    EXPECT_EQ(std::string::npos, text.find("(" + number)) << text;
  }
}

UndoFailure undo(UndoFailure::Step step, unsigned code, int errnoValue) {
  UndoFailure failure;
  failure.step = step;
  failure.path = u"/t/d";
  failure.kept = u"/t/.q5stp-1-2-k0";
  failure.code = code;
  failure.errnoValue = errnoValue;
  return failure;
}

class FailureWordsTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }
};

// Each cause in each place it is told: the failure's own line, and each
// thing the undo could not put right; in English and in German, whatever
// the process locale says.
TEST_F(FailureWordsTest, EachCauseIsWordedInEachPlaceInTheInterfaceLanguage) {
  const std::string eio = std::string("system error (") + strerror(EIO) + ")";
  const struct {
    unsigned code;
    int err;
    UndoFailure::Step step;
    bool undone;  // worded as an undo failure, else as the failure's line
    const char* english;
    const char* german;
  } cases[] = {
      {ERROR_ACCESS_DENIED, EACCES, UndoFailure::kDelete, false, "/t/d: permission denied", nullptr},
      {ERROR_ACCESS_DENIED, EPERM, UndoFailure::kDelete, false, "/t/d: permission denied", nullptr},
      {ERROR_DISK_FULL, ENOSPC, UndoFailure::kDelete, false, "/t/d: no space left on the disk", nullptr},
      {ERROR_DISK_FULL, EDQUOT, UndoFailure::kDelete, false, "/t/d: no space left on the disk", nullptr},
      {ERROR_ACCESS_DENIED, EROFS, UndoFailure::kDelete, false, "/t/d: the file system is read-only",
       "/t/d: das Dateisystem ist schreibgeschützt"},
      {ERROR_PATH_NOT_FOUND, ENOTDIR, UndoFailure::kDelete, false,
       "/t/d: a file stands where a directory is needed", nullptr},
      {ERROR_ACCESS_DENIED, EISDIR, UndoFailure::kDelete, false, "/t/d: a directory stands where a file goes",
       nullptr},
      {ERROR_ACCESS_DENIED, EACCES, UndoFailure::kDelete, true, "could not delete /t/d: permission denied",
       "/t/d konnte nicht gelöscht werden: keine Schreibberechtigung"},
      {ERROR_ACCESS_DENIED, EROFS, UndoFailure::kRefused, true,
       "could not delete the files the installation made in the directory /t/d: the file system is read-only",
       "die von der Installation angelegten Dateien im Verzeichnis /t/d konnten nicht gelöscht werden: das "
       "Dateisystem ist schreibgeschützt"},
      {ERROR_ACCESS_DENIED, EACCES, UndoFailure::kRestore, true,
       "could not put back the previous /t/d, which stays at /t/.q5stp-1-2-k0: permission denied", nullptr},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY, UndoFailure::kRemoveFolder, true, nullptr, nullptr},
      {ERROR_PATH_NOT_FOUND, ENOTDIR, UndoFailure::kRemoveFolder, true,
       "could not remove the directory /t/d: a file stands where a directory is needed", nullptr},
      // A link where the journal never follows one says so, not "a loop".
      {ERROR_STOPPED_ON_SYMLINK, ELOOP, UndoFailure::kReach, true,
       "could not open the directory /t/d to undo the changes inside it: this is a symbolic link: the "
       "installation does not follow links inside the template directory",
       "das Verzeichnis /t/d konnte nicht geöffnet werden, um die Änderungen darin rückgängig zu machen: dies "
       "ist ein symbolischer Link: im Vorlagenverzeichnis folgt die Installation keinen Links"},
      {ERROR_INVALID_PARAMETER, EIO, UndoFailure::kReach, true, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::string where = std::to_string(c.err) + (c.undone ? " undo " + std::to_string(c.step) : "");
    for (LangIdType lang : {LANG_EN, LANG_DE}) {
      set_resource_lang(lang);
      InstallFailure failure;
      failure.code = c.code;
      failure.errnoValue = c.err;
      failure.path = u"/t/d";
      std::string line = utf8(c.undone ? undo_failure_line(undo(c.step, c.code, c.err))
                                       : failure_cause_line(failure.path, c.err));
      const char* expected = lang == LANG_EN ? c.english : c.german;
      if (expected != nullptr) {
        EXPECT_EQ(expected, line) << where;
      }
      EXPECT_NE(std::string::npos, line.find("/t/d")) << where;
      expect_no_raw_number(line, c.code, c.err);
    }
  }
  set_resource_lang(LANG_EN);
  // A cause without words of ours gives the system's own.
  EXPECT_EQ("/t/d: " + eio, utf8(failure_cause_line(u"/t/d", EIO)));
  EXPECT_EQ("could not remove the directory /t/d: " + eio,
            utf8(undo_failure_line(undo(UndoFailure::kRemoveFolder, ERROR_INVALID_PARAMETER, EIO))));
  // A code the file layer chose without the system: no number, no "?".
  EXPECT_EQ("could not delete /t/d: system error",
            utf8(undo_failure_line(undo(UndoFailure::kDelete, ERROR_INVALID_HANDLE, 0))));
  // Without a path the cause stands alone; with nothing known, nothing.
  EXPECT_EQ("permission denied", utf8(failure_cause_line(u"", EACCES)));
  EXPECT_EQ("", utf8(failure_cause_line(u"", 0)));
}

// The heading and the detail are chosen apart: the detail never repeats
// the heading, a package at fault gets its own heading and no path, and
// what the undo left behind follows the failure's own line.
TEST_F(FailureWordsTest, HeadingAndDetailOfAnOutcome) {
  InstallOutcome outcome;
  outcome.kind = InstallOutcome::kFailed;
  outcome.failure.code = ERROR_ACCESS_DENIED;
  outcome.failure.errnoValue = EACCES;
  outcome.failure.path = u"/t/locked";
  describe_outcome(outcome);
  EXPECT_EQ(utf8(resourceText("IDS_INSTALL_ERROR")), utf8(outcome.heading));
  EXPECT_EQ("/t/locked: permission denied", utf8(outcome.detail));
  EXPECT_EQ(utf8(resourceText("IDS_ERROR_FINISH")) + "\n\n/t/locked: permission denied",
            utf8(failure_page_text(outcome)));

  outcome.undoFailures.push_back(undo(UndoFailure::kDelete, ERROR_ACCESS_DENIED, EROFS));
  describe_outcome(outcome);
  EXPECT_EQ("/t/locked: permission denied\n" + utf8(resourceText("IDS_UNDO_INCOMPLETE")) +
                "\ncould not delete /t/d: the file system is read-only",
            utf8(outcome.detail));
  // The page no longer claims that the directory is as it was.
  EXPECT_EQ(0u, utf8(failure_page_text(outcome)).find(utf8(resourceText("IDS_ERROR_FINISH_UNDO")) + "\n\n"));
  EXPECT_EQ(utf8(outcome.heading) + "\n" + utf8(outcome.detail), utf8(outcome_message(outcome)));

  InstallOutcome damaged;
  damaged.kind = InstallOutcome::kFailed;
  damaged.failure.packageFailed = true;
  damaged.failure.code = ERROR_INVALID_DATA;
  damaged.failure.path = u"/t/a";
  describe_outcome(damaged);
  EXPECT_EQ(utf8(resourceText("IDS_ERROR_DAMAGEDSOURCE")), utf8(damaged.heading));
  EXPECT_EQ("", utf8(damaged.detail));
  EXPECT_EQ(utf8(damaged.heading), utf8(outcome_message(damaged)));

  InstallOutcome cancelled;
  cancelled.kind = InstallOutcome::kCancelled;
  cancelled.heading = u"stale";
  describe_outcome(cancelled);
  EXPECT_TRUE(cancelled.heading.empty() && cancelled.detail.empty());
}

}  // namespace
