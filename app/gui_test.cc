// The wizard driven in-process with real GTK widgets under a (virtual)
// display: packages made with the vendor tool, a scratch HOME and TMPDIR,
// buttons clicked and keys sent through GTK, message boxes answered from
// the main loop as they appear.
#include <gdk/gdkkeysyms.h>
#include <signal.h>
#include <sodium.h>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "app/command_line.h"
#include "app/installer_dlg.h"
#include "app/package_trust.h"
#include "app/pages.h"
#include "app/run_log.h"
#include "app/summary.h"
#include "app/test_support.h"
#include "platform/resources.h"

namespace {

int g_argc = 1;
char g_arg0[] = "gui_tests";
char* g_argv[] = {g_arg0, nullptr};
char** g_argv_ptr = g_argv;

const guint kTickMs = 20;

std::string text_of(const char* key) { return utf8(LoadResString(key)); }

std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }
bool visible(GtkWidget* widget) { return gtk_widget_get_visible(widget) != FALSE; }
bool sensitive(GtkWidget* widget) { return gtk_widget_get_sensitive(widget) != FALSE; }
void click(GtkWidget* button) { gtk_button_clicked(GTK_BUTTON(button)); }

// The first visible toplevel of the given type, or null.
GtkWidget* find_toplevel(GType type) {
  GtkWidget* found = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item != nullptr && found == nullptr; item = item->next) {
    GtkWidget* widget = GTK_WIDGET(item->data);
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type) && visible(widget)) found = widget;
  }
  g_list_free(toplevels);
  return found;
}

void send_key(GtkWidget* window, guint keyval) {
  GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
  event->key.keyval = keyval;
  event->key.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
}

// What the window manager sends when the user closes the window.
void send_close(GtkWidget* window) {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
  event->any.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
}

// The texts of every label below widget, in order, as set (with "_").
void collect_labels(GtkWidget* widget, std::vector<std::string>& texts) {
  if (GTK_IS_LABEL(widget)) {
    texts.push_back(gtk_label_get_label(GTK_LABEL(widget)));
  } else if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child != nullptr; child = child->next)
      collect_labels(GTK_WIDGET(child->data), texts);
    g_list_free(children);
  }
}

// Lets GTK lay out and draw what is pending.
void settle() {
  while (gtk_events_pending()) gtk_main_iteration();
}

// Answers message boxes as they appear, with the given responses in order,
// and records what each said. A box beyond the list gets OK (recorded too),
// so a wrong turn fails the test instead of hanging it.
class MessageBoxAnswerer {
 public:
  struct Box {
    std::string text;
    GtkMessageType type;
    std::vector<std::string> buttons;  // captions as shown, mnemonics marked "_"
    std::string accessibleName;        // what a screen reader announces it as
  };

  explicit MessageBoxAnswerer(std::vector<gint> responses = {})
      : responses_(responses.begin(), responses.end()) {
    source_ = g_timeout_add(kTickMs, &MessageBoxAnswerer::tick, this);
  }
  ~MessageBoxAnswerer() { g_source_remove(source_); }

  const std::vector<Box>& boxes() const { return boxes_; }

 private:
  static gboolean tick(gpointer data) {
    MessageBoxAnswerer* self = static_cast<MessageBoxAnswerer*>(data);
    GtkWidget* box = find_toplevel(GTK_TYPE_MESSAGE_DIALOG);
    if (box == nullptr) return TRUE;
    gchar* text = nullptr;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    g_object_get(box, "text", &text, "message-type", &type, nullptr);
    std::vector<std::string> buttons;
    collect_labels(gtk_dialog_get_action_area(GTK_DIALOG(box)), buttons);
    const char* name = atk_object_get_name(gtk_widget_get_accessible(box));
    self->boxes_.push_back(Box{text != nullptr ? text : "", type, buttons, name != nullptr ? name : ""});
    g_free(text);
    gint response = GTK_RESPONSE_OK;
    if (!self->responses_.empty()) {
      response = self->responses_.front();
      self->responses_.pop_front();
    }
    gtk_widget_hide(box);
    gtk_dialog_response(GTK_DIALOG(box), response);
    return TRUE;
  }

  std::deque<gint> responses_;
  std::vector<Box> boxes_;
  guint source_;
};

// Runs action once, from the main loop, as soon as condition holds.
class When {
 public:
  When(std::function<bool()> condition, std::function<void()> action)
      : condition_(condition), action_(action) {
    source_ = g_timeout_add(kTickMs, &When::tick, this);
  }
  ~When() {
    if (!done_) g_source_remove(source_);
  }
  bool done() const { return done_; }

 private:
  static gboolean tick(gpointer data) {
    When* self = static_cast<When*>(data);
    if (!self->condition_()) return TRUE;
    self->done_ = true;
    self->action_();
    return FALSE;
  }

  std::function<bool()> condition_;
  std::function<void()> action_;
  guint source_;
  bool done_ = false;
};

class WizardTest : public testing::Test {
 protected:
  WizardTest()
      : home_(),
        homeEnv_("HOME", home_.path().c_str()),
        tmpEnv_("TMPDIR", tmp_.path().c_str()),
        pathEnv_("PATH", (bin_.path() + ":" + getenv("PATH")).c_str()),
        logEnv_("XDG_OPEN_LOG", (bin_ / "xdg-open.log").c_str()) {
    // Stands in for the desktop's opener: records its arguments one a line.
    writeBytes(bin_ / "xdg-open",
               "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >> \"$XDG_OPEN_LOG\"\n");
    chmod((bin_ / "xdg-open").c_str(), 0755);
    char* cwd = getcwd(nullptr, 0);
    oldCwd_ = cwd;
    free(cwd);
    EXPECT_EQ(0, chdir(packageDir_.path().c_str()));
  }
  ~WizardTest() override { EXPECT_EQ(0, chdir(oldCwd_.c_str())); }

  static void SetUpTestSuite() {
    // A busy X server now and then drops a new connection; a failure there
    // would quietly skip the test, so a few tries are made, as the program does.
    bool open = false;
    for (int attempt = 0; attempt < 5 && !open; ++attempt) {
      if (attempt > 0) g_usleep(100000);
      open = gtk_init_check(&g_argc, &g_argv_ptr) != FALSE;
    }
    ASSERT_TRUE(open) << "the GUI tests need a display (DISPLAY="
                      << (getenv("DISPLAY") ? getenv("DISPLAY") : "") << ")";
  }

  // Writes the members below a fresh source folder and packs them into
  // kxq5.dpk in the current (package) directory.
  void makePackage(const std::map<std::string, std::string>& members,
                   const std::vector<std::string>& options = {}) {
    ScratchDir source;
    for (const auto& member : members) writeBytes(source / member.first, member.second);
    remove(packagePath().c_str());
    ASSERT_TRUE(make_package(DPKPACK_PATH, source.path(), packagePath(), options));
  }
  std::string packagePath() const { return packageDir_ / "kxq5.dpk"; }

  std::unique_ptr<CInstallerDlg> newDialog(bool silent = false, const char16_t* language = u"en") {
    return std::unique_ptr<CInstallerDlg>(
        new CInstallerDlg(g_argc, g_argv, silent, "Setup test", language, true));
  }
  // Start-up checks, window and welcome page: DoModal up to its main loop.
  void start(CInstallerDlg& dialog) { ASSERT_TRUE(dialog.open()); }
  // Next on the directory page: the copy runs from the main loop, which is
  // run here until the outcome is shown and registered.
  void startCopy(CInstallerDlg& dialog) {
    click(dialog.nextButton());
    while (dialog.copying() || dialog.maintaining()) gtk_main_iteration();
  }
  void goToDirectoryPage(CInstallerDlg& dialog, const std::string& target) {
    click(dialog.nextButton());
    ASSERT_EQ(CInstallerDlg::kStateSelectPath, dialog.state());
    gtk_entry_set_text(GTK_ENTRY(dialog.dirSelectPage()->entry()), target.c_str());
  }

  // target made anew, with the package installed there by the wizard.
  void installAfresh(const std::string& target) {
    ASSERT_EQ(0, system(("rm -rf '" + target + "'").c_str()));
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    start(*dialog);
    goToDirectoryPage(*dialog, target);
    startCopy(*dialog);
    ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state()) << "an empty directory is no maintenance";
    click(dialog->nextButton());
  }
  // Up to the offer of an update, a repair or a remove in target.
  void goToMaintenancePage(CInstallerDlg& dialog, const std::string& target) {
    start(dialog);
    goToDirectoryPage(dialog, target);
    click(dialog.nextButton());
    ASSERT_EQ(CInstallerDlg::kStateMaintenance, dialog.state());
  }

  std::string ordinaryFile() const { return home_ / ".KX/kxlaunch/kxlaunch.cfg"; }
  std::string baseFile() const { return home_ / ".KX/kxlauncht/kxlaunch.cfg"; }
  std::string defaultTarget() const { return home_ / ".kxq5/KX/kxq5/tmplts/"; }
  std::string openerLog() const { return readBytes(bin_ / "xdg-open.log"); }

  ScratchDir home_;
  ScratchDir tmp_;
  ScratchDir bin_;
  ScratchDir packageDir_;
  ScopedEnv homeEnv_;
  ScopedEnv tmpEnv_;
  ScopedEnv pathEnv_;
  ScopedEnv logEnv_;
  std::string oldCwd_;
};

TEST_F(WizardTest, WelcomeNamesProductAndVendorOrTheirPlaceholders) {
  makePackage({{"t/a.txt", "a"}}, {"-l", "en", "-p", "Ledger Templates", "-v", "Northwind"});
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  EXPECT_EQ(CInstallerDlg::kStateWelcome, dialog->state());
  EXPECT_EQ("Welcome to the product installation program Ledger Templates (Northwind).\n\n"
            "Signature not checked: no trusted key is set.",
            label_text(dialog->welcomePage()->label()));
  for (GtkWidget* widget : dialog->welcomePage()->widgets()) EXPECT_TRUE(visible(widget));
  EXPECT_TRUE(visible(dialog->backButton()));
  EXPECT_FALSE(sensitive(dialog->backButton()));
  EXPECT_TRUE(sensitive(dialog->nextButton()));
  EXPECT_TRUE(sensitive(dialog->cancelButton()));
  EXPECT_EQ(std::string("Setup test"), gtk_window_get_title(GTK_WINDOW(dialog->window())));
  EXPECT_NE(nullptr, gtk_window_get_icon(GTK_WINDOW(dialog->window())));

  // What the interface language's description leaves out, the English one
  // gives; the placeholders stand in only for what no description names.
  makePackage({{"t/a.txt", "a"}}, {"-l", "en", "-p", "Ledger Templates", "-v", "Northwind",
                                   "-l", "de", "-p", "Hauptbuchvorlagen"});
  struct Case {
    const char16_t* language;
    const char* welcome;
  } cases[] = {
      {u"de", "Welcome to the product installation program Hauptbuchvorlagen (Northwind).\n\n"
            "Signature not checked: no trusted key is set."},
      {u"tr", "Welcome to the product installation program Ledger Templates (Northwind).\n\n"
            "Signature not checked: no trusted key is set."},
  };
  for (const Case& c : cases) {
    std::unique_ptr<CInstallerDlg> other = newDialog(false, c.language);
    start(*other);
    EXPECT_EQ(c.welcome, label_text(other->welcomePage()->label()));
  }
  makePackage({{"t/a.txt", "a"}});
  std::unique_ptr<CInstallerDlg> nameless = newDialog(false, u"tr");
  start(*nameless);
  EXPECT_EQ("Welcome to the product installation program <Product> (<Vendor>).\n\n"
            "Signature not checked: no trusted key is set.",
            label_text(nameless->welcomePage()->label()));
}

TEST_F(WizardTest, DirectoryPageShowsTheTargetAndBackDropsAnUnconfirmedEdit) {
  makePackage({{"a.txt", "a"}});
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, "/somewhere/else");
  EXPECT_TRUE(sensitive(dialog->backButton()));
  for (GtkWidget* widget : dialog->dirSelectPage()->widgets()) EXPECT_TRUE(visible(widget));
  EXPECT_FALSE(visible(dialog->welcomePage()->label()));
  EXPECT_EQ(text_of("IDS_DESTINATION_PROMPT"), label_text(dialog->dirSelectPage()->label()));

  click(dialog->backButton());
  EXPECT_EQ(CInstallerDlg::kStateWelcome, dialog->state());
  EXPECT_TRUE(visible(dialog->welcomePage()->label()));
  EXPECT_FALSE(visible(dialog->dirSelectPage()->entry()));
  EXPECT_FALSE(sensitive(dialog->backButton()));

  click(dialog->nextButton());
  EXPECT_EQ(defaultTarget(), gtk_entry_get_text(GTK_ENTRY(dialog->dirSelectPage()->entry())));
  EXPECT_EQ(defaultTarget(), utf8(dialog->targetPath()));
}

TEST_F(WizardTest, EmptyEntryIsRefusedWithAPlainWarning) {
  makePackage({{"a.txt", "a"}});
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, "");
  MessageBoxAnswerer answers;
  click(dialog->nextButton());
  ASSERT_EQ(1u, answers.boxes().size());
  EXPECT_EQ(text_of("IDS_SETUP_EMPTYTARGET"), answers.boxes()[0].text);
  EXPECT_EQ(GTK_MESSAGE_OTHER, answers.boxes()[0].type);
  EXPECT_EQ(CInstallerDlg::kStateSelectPath, dialog->state());
  EXPECT_FALSE(exists(defaultTarget()));
}

TEST_F(WizardTest, CopySucceedsRegistersAndFinishOpensTheReadmeAsOneArgument) {
  // A readme name that a shell would take for two commands.
  const std::string readme = "docs/read me; touch pwned $(id).txt";
  makePackage({{"t/a.cfg", "alpha"}, {"t/b.cfg", "beta"}, {readme, "hello"}},
              {"-l", "en", "-p", "P", "-v", "V", "-r", readme});
  writeBytes(ordinaryFile(), "ConfigurationTemplatesLocation=/old\nDefaultVersion=8\n");
  const std::string target = home_ / "My Templates";
  std::string typed = target;
  for (char& c : typed) c = c == '/' ? '\\' : c;

  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, typed);
  rusage before, after;
  getrusage(RUSAGE_THREAD, &before);
  startCopy(*dialog);
  getrusage(RUSAGE_THREAD, &after);
  // The cost of watching the copy, for the record (not a pass condition).
  double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
               (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
               (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
               (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
  RecordProperty("ui_thread_cpu_ms", static_cast<int>(cpu * 1000));

  ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  EXPECT_EQ(target, utf8(dialog->targetPath()));
  EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
  EXPECT_EQ("hello", readBytes(target + "/" + readme));
  EXPECT_EQ("ConfigurationTemplatesLocation=" + target +
                "\nConfigurationTemplatesLocation=/old\nDefaultVersion=8\n",
            readBytes(ordinaryFile()));
  EXPECT_FALSE(exists(baseFile()));

  SuccessFinalPage* page = dialog->successPage();
  EXPECT_EQ(text_of("IDS_SUCCESS_FINISH") + "\n\n" + text_of("IDS_SUCCESS_WHERE") + "\n" + target,
            label_text(page->label()));
  EXPECT_TRUE(visible(page->checkBox()));
  EXPECT_TRUE(page->isShowReadmeChecked());
  EXPECT_FALSE(visible(dialog->progressPage()->bar()));
  EXPECT_EQ(text_of("IDS_WIZARD_FINISH"),
            label_text(gtk_bin_get_child(GTK_BIN(dialog->nextButton()))));
  EXPECT_TRUE(sensitive(dialog->nextButton()));
  EXPECT_FALSE(visible(dialog->backButton()));
  EXPECT_FALSE(sensitive(dialog->cancelButton()));

  click(dialog->nextButton());
  EXPECT_EQ(nullptr, dialog->window());
  EXPECT_EQ("[" + target + "/" + readme + "]\n", openerLog());
  EXPECT_FALSE(exists(packageDir_ / "pwned"));
  EXPECT_EQ(kExitInstalled, dialog->exitStatus());
}

// A choice on the maintenance page and what it ends with.
struct MaintenanceCase {
  const char* name;
  MaintenancePage::Choice choice;
  unsigned state;
  int status;
  std::vector<std::string> files;  // below the target's folder afterwards, sorted
};

// The names in dir and below it, sorted.
std::vector<std::string> namesBelow(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : snapshotTree(dir)) names.push_back(entry.first);
  return names;
}

// A directory that holds the package's files (one edited, one deleted, one
// added by its user) is offered an update, a repair or a remove, with its
// counts; each does what its switch does on the command line, and the final
// page and the exit status come from that run. A directory with none of
// the package's files goes straight to the copy.
TEST_F(WizardTest, DirectoryWithThePackagesFilesOffersUpdateRepairAndRemove) {
  makePackage({{"t/a.cfg", "alpha"}, {"t/b.cfg", "beta"}, {"t/c.cfg", "gamma"}});
  const std::string target = home_ / "tmplts";
  const MaintenanceCase cases[] = {
      {"update", MaintenancePage::kUpdate, CInstallerDlg::kStateSuccess, kExitInstalled,
       {"a.cfg", "b.cfg", "c.cfg", "mine.txt"}},
      {"repair", MaintenancePage::kRepair, CInstallerDlg::kStateSuccess, kExitInstalled,
       {"a.cfg", "a.cfg.kxq5-modified", "b.cfg", "c.cfg", "mine.txt"}},
      {"remove", MaintenancePage::kRemove, CInstallerDlg::kStateSuccess, kExitKept,
       {"a.cfg", "mine.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    installAfresh(target);
    writeBytes(target + "/t/a.cfg", "alpha, edited and grown");
    ASSERT_EQ(0, unlink((target + "/t/c.cfg").c_str()));
    writeBytes(target + "/t/mine.txt", "mine");

    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    goToMaintenancePage(*dialog, target);
    const std::string want = [&] {
      std::string t = text_of("IDS_MAINT_OFFER");
      t.replace(t.find("%1"), 2, target);
      t.replace(t.find("%2"), 2, "1");
      t.replace(t.find("%3"), 2, "1");
      t.replace(t.find("%4"), 2, "1");
      return t;
    }();
    EXPECT_EQ(want, label_text(dialog->maintenancePage()->label()));
    EXPECT_EQ(dialog->nextButton(), gtk_window_get_focus(GTK_WINDOW(dialog->window())));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dialog->maintenancePage()->choiceButton(c.choice)), TRUE);
    startCopy(*dialog);
    ASSERT_EQ(c.state, dialog->state());
    EXPECT_EQ(c.files, namesBelow(target + "/t"));
    EXPECT_EQ(c.status, dialog->exitStatus());
    // The user's edit stays: in place after a remove, beside after a repair.
    EXPECT_EQ(c.choice == MaintenancePage::kRepair ? "alpha" : "alpha, edited and grown",
              readBytes(target + "/t/a.cfg"));
    click(dialog->nextButton());
  }
}

// A repair or a remove runs beside the window: while another run holds the
// target, the page says so and the window stays (closing it does not cut
// the run short); once the target is free, the run ends on its page.
// Closing the window on the offer itself changes nothing and is a cancel.
TEST_F(WizardTest, RepairAndRemoveRunBesideALiveWindow) {
  makePackage({{"t/a.cfg", "alpha"}, {"t/b.cfg", "beta"}});
  const std::string target = home_ / "tmplts";
  const MaintenanceCase cases[] = {
      {"repair", MaintenancePage::kRepair, CInstallerDlg::kStateSuccess, kExitInstalled, {"a.cfg", "b.cfg"}},
      {"remove", MaintenancePage::kRemove, CInstallerDlg::kStateSuccess, kExitInstalled, {}},
      {"window closed on the offer", MaintenancePage::kUpdate, CInstallerDlg::kStateMaintenance, kExitCancelled,
       {"a.cfg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    installAfresh(target);
    ASSERT_EQ(0, unlink((target + "/t/b.cfg").c_str()));
    MessageBoxAnswerer answers;
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    goToMaintenancePage(*dialog, target);
    if (c.choice == MaintenancePage::kUpdate) {
      gtk_widget_destroy(dialog->window());
      EXPECT_EQ(c.status, dialog->exitStatus());
      EXPECT_EQ(c.files, namesBelow(target + "/t"));
      continue;
    }
    int held = open(target.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dialog->maintenancePage()->choiceButton(c.choice)), TRUE);
    std::string shown;
    bool stayed = false;
    When waiting([&] {
                   return dialog->maintaining() &&
                          label_text(dialog->progressPage()->status()) != text_of("IDS_MAINT_WORKING");
                 },
                 [&] {
                   shown = label_text(dialog->progressPage()->status());
                   GdkEvent* closing = gdk_event_new(GDK_DELETE);
                   closing->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog->window())));
                   gtk_main_do_event(closing);
                   gdk_event_free(closing);
                   stayed = dialog->maintaining() && dialog->window() != nullptr;
                   close(held);
                 });
    startCopy(*dialog);
    EXPECT_EQ(text_of("IDS_WAITING_LOCK") + " " + target, shown);
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(answers.boxes().empty()) << answers.boxes()[0].text;
    ASSERT_EQ(c.state, dialog->state());
    EXPECT_EQ(c.status, dialog->exitStatus());
    EXPECT_EQ(c.files, namesBelow(target + "/t"));
    click(dialog->nextButton());
  }
}

TEST_F(WizardTest, TargetOptionFillsTheDirectoryPage) {
  makePackage({{"a.txt", "a"}});
  writeBytes(ordinaryFile(), "ConfigurationTemplatesLocation=" + home_.path() + "\n");
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  dialog->setTargetOption(u16(home_ / "from option"));
  start(*dialog);
  click(dialog->nextButton());
  EXPECT_EQ(home_ / "from option", gtk_entry_get_text(GTK_ENTRY(dialog->dirSelectPage()->entry())));
}

// The templates are in place, so the success page stays; a warning box
// names the configuration file that could not be written, and the exit
// status says that the launcher was not told.
TEST_F(WizardTest, FailedRegistrationWarnsAfterTheSuccessPage) {
  makePackage({{"t/a.cfg", "alpha"}});
  writeBytes(home_ / ".KX/kxlaunch/other", "");
  ASSERT_EQ(0, symlink("kxlaunch.cfg", ordinaryFile().c_str()));
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, home_ / "t");
  unsigned stateAtBox = 0;
  std::string pageAtBox;
  const std::string warning =
      text_of("IDS_ERROR_REGISTER") + " " + ordinaryFile() + " (" + text_of("IDS_CAUSE_LOOP") + ")";
  {
    // Looks before the answerer does (it is older, so its tick comes first).
    When seen([&] { return find_toplevel(GTK_TYPE_MESSAGE_DIALOG) != nullptr; },
              [&] {
                stateAtBox = dialog->state();
                pageAtBox = label_text(dialog->successPage()->label());
              });
    MessageBoxAnswerer answers;
    startCopy(*dialog);
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_EQ(GTK_MESSAGE_WARNING, answers.boxes()[0].type);
    EXPECT_EQ(warning, answers.boxes()[0].text);
  }
  EXPECT_EQ(CInstallerDlg::kStateSuccess, stateAtBox);
  // Behind the warning the page says the same, not plain success.
  EXPECT_EQ(warning + "\n\n" + text_of("IDS_SUCCESS_WHERE") + "\n" + (home_ / "t"), pageAtBox);
  EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  EXPECT_EQ("alpha", readBytes(home_ / "t/t/a.cfg"));
  click(dialog->nextButton());
  EXPECT_EQ(kExitUnregistered, dialog->exitStatus());
}

TEST_F(WizardTest, UntickedBoxOrEscapeOnTheSuccessPageOpensNothing) {
  makePackage({{"r.txt", "readme"}}, {"-r", "r.txt"});
  std::unique_ptr<CInstallerDlg> unticked = newDialog();
  start(*unticked);
  goToDirectoryPage(*unticked, home_ / "t1");
  startCopy(*unticked);
  ASSERT_EQ(CInstallerDlg::kStateSuccess, unticked->state());
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(unticked->successPage()->checkBox()), FALSE);
  click(unticked->nextButton());
  EXPECT_EQ(nullptr, unticked->window());

  std::unique_ptr<CInstallerDlg> escaped = newDialog();
  start(*escaped);
  goToDirectoryPage(*escaped, home_ / "t2");
  startCopy(*escaped);
  ASSERT_EQ(CInstallerDlg::kStateSuccess, escaped->state());
  {
    // The installation is over: Escape leaves at once, asking nothing.
    MessageBoxAnswerer answers;
    send_key(escaped->window(), GDK_Escape);
    EXPECT_EQ(0u, answers.boxes().size());
  }
  EXPECT_EQ(nullptr, escaped->window());
  EXPECT_EQ("<missing>", openerLog());
  EXPECT_EQ(kExitInstalled, escaped->exitStatus());
}

// A log the command line put where the chosen directory is: the run does
// not begin, and says why; a directory beside it goes through.
TEST_F(WizardTest, LogInsideTheChosenDirectoryEndsTheRunUnstarted) {
  makePackage({{"t/a.cfg", "alpha"}});
  struct Case {
    std::string target;
    bool refused;
  } cases[] = {
      {home_ / "t", true},
      {home_ / "t/", true},
      {home_ / "tx", false},  // a name that begins as the log's folder's does
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    set_log_option((home_ / "t/logs/run.log").c_str());
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    start(*dialog);
    goToDirectoryPage(*dialog, c.target);
    MessageBoxAnswerer answers;
    startCopy(*dialog);
    set_log_option("");
    if (!c.refused) {
      EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
      EXPECT_EQ(0u, answers.boxes().size());
      continue;
    }
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_NE(std::string::npos, answers.boxes()[0].text.find(home_ / "t/logs/run.log")) << answers.boxes()[0].text;
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(kExitNotStarted, dialog->exitStatus());
    EXPECT_FALSE(exists(home_ / "t"));
  }
}

TEST_F(WizardTest, FailedCopyShowsTheErrorThenTheErrorPageAndKeepsTheConfiguration) {
  makePackage({{"t/a.cfg", "alpha"}, {"t/b.cfg", "beta"}});
  writeBytes(home_ / "blocker", "a plain file where a folder must go");
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, home_ / "blocker/sub");
  {
    MessageBoxAnswerer answers;
    startCopy(*dialog);
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_EQ(text_of("IDS_INSTALL_ERROR") + "\n" + (home_ / "blocker") + ": " +
                  text_of("IDS_CAUSE_NOTDIR"),
              answers.boxes()[0].text);
    EXPECT_EQ(GTK_MESSAGE_ERROR, answers.boxes()[0].type);
  }
  ASSERT_EQ(CInstallerDlg::kStateError, dialog->state());
  // The page repeats the cause, for whoever answered the box unread.
  EXPECT_EQ(text_of("IDS_ERROR_FINISH") + "\n\n" + (home_ / "blocker") + ": " +
                text_of("IDS_CAUSE_NOTDIR"),
            label_text(dialog->errorPage()->label()));
  EXPECT_TRUE(visible(dialog->errorPage()->label()));
  EXPECT_FALSE(visible(dialog->backButton()));
  EXPECT_FALSE(exists(ordinaryFile()));
  EXPECT_EQ(kExitFailed, dialog->exitStatus());
  click(dialog->nextButton());
  EXPECT_EQ(nullptr, dialog->window());
  EXPECT_EQ("<missing>", openerLog());
}

// A file system of its own for a test: a 1 MiB tmpfs (or a read-only one),
// mounted over a fresh folder and unmounted at the end. Mounting needs root.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, const char* options) : where_(where) {
    mkdir(where.c_str(), 0755);
    const char* argv[] = {"mount", "-t", "tmpfs", "-o", options, "tmpfs", where.c_str(), nullptr};
    mounted_ = geteuid() == 0 && run_quietly(argv);
  }
  ~SmallFileSystem() {
    if (!mounted_) return;
    const char* argv[] = {"umount", where_.c_str(), nullptr};
    EXPECT_TRUE(run_quietly(argv)) << "umount " << where_;
  }
  bool mounted() const { return mounted_; }

 private:
  static bool run_quietly(const char* const* argv) {
    std::string command;
    for (const char* const* a = argv; *a != nullptr; ++a) command += std::string(" '") + *a + "'";
    return system((command + " 2>/dev/null").c_str()) == 0;
  }
  std::string where_;
  bool mounted_ = false;
};

// Copies into target and returns the error box's text.
std::string failing_copy_box(CInstallerDlg& dialog, const std::string& target) {
  click(dialog.nextButton());
  gtk_entry_set_text(GTK_ENTRY(dialog.dirSelectPage()->entry()), target.c_str());
  MessageBoxAnswerer answers;
  click(dialog.nextButton());
  // The copy runs from the main loop: run it until the outcome is shown.
  while (dialog.copying()) gtk_main_iteration();
  EXPECT_EQ(CInstallerDlg::kStateError, dialog.state());
  return answers.boxes().empty() ? "<no box>" : answers.boxes()[0].text;
}

TEST_F(WizardTest, InstallErrorNamesTheFileAndTheCauseInTheInterfaceLanguage) {
  // Incompressible, so that it cannot fit a 1 MiB file system however stored.
  std::string big(2 << 20, '\0');
  unsigned seed = 7;
  for (char& c : big) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  makePackage({{"t/big.bin", big}, {"t/a.cfg", "alpha"}});
  writeBytes(home_ / "blocker", "a plain file where a folder must go");
  const struct {
    const char* mountOptions;  // null: no file system of its own
    std::string target;
    std::string failing;  // what the line names
    const char* cause;
  } cases[] = {
      {nullptr, home_ / "blocker/sub", home_ / "blocker", "IDS_CAUSE_NOTDIR"},
      {"size=1m", home_ / "small", home_ / "small/t/big.bin", "IDS_CAUSE_NOSPACE"},
      {"ro", home_ / "readonly", home_ / "readonly", "IDS_CAUSE_READONLY"},
  };
  for (LangIdType lang : {LANG_EN, LANG_DE}) {
    set_resource_lang(lang);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.target);
      std::unique_ptr<SmallFileSystem> fs;
      if (c.mountOptions != nullptr) {
        fs.reset(new SmallFileSystem(c.target, c.mountOptions));
        if (!fs->mounted()) {
          printf("SKIPPED (%s): mounting a tmpfs needs root\n", c.cause);
          continue;
        }
      }
      std::unique_ptr<CInstallerDlg> dialog = newDialog();
      start(*dialog);
      std::string box = failing_copy_box(*dialog, c.target);
      if (std::string(c.cause) == "IDS_CAUSE_NOSPACE") {
        // Too little room is found before the copy: the folder is named
        // with what is needed and what is free.
        std::string space = text_of("IDS_ERROR_TARGETSPACE");
        space = space.substr(0, space.find("%1")) + c.target + ":";
        EXPECT_EQ(0u, box.find(text_of("IDS_INSTALL_ERROR") + "\n" + space)) << box;
        continue;
      }
      EXPECT_EQ(text_of("IDS_INSTALL_ERROR") + "\n" + c.failing + ": " + text_of(c.cause), box);
    }
  }
  set_resource_lang(LANG_EN);
}

TEST_F(WizardTest, UnwritableFolderIsNamedWithPermissionDenied) {
  if (rerun_as_ordinary_user()) return;  // root writes into any folder
  makePackage({{"t/a.cfg", "alpha"}});
  ASSERT_EQ(0, mkdir((home_ / "locked").c_str(), 0555));
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  std::string box = failing_copy_box(*dialog, home_ / "locked");
  EXPECT_EQ(text_of("IDS_INSTALL_ERROR") + "\n" + (home_ / "locked") + ": " +
                text_of("IDS_CAUSE_ACCESS"),
            box);
  chmod((home_ / "locked").c_str(), 0755);
}

// Enough members that a copy is still going, by a wide margin, when a
// cancel arrives: the cost of a run is mostly per member.
std::map<std::string, std::string> many_members() {
  std::map<std::string, std::string> members;
  for (int i = 0; i < 12000; ++i) {
    members["big/d" + std::to_string(i / 100) + "/m" + std::to_string(i) + ".bin"] =
        std::string(600, static_cast<char>('a' + i % 26));
  }
  return members;
}

TEST_F(WizardTest, CancelDuringTheCopyRollsBackAndEndsOnTheCancelledPage) {
  makePackage(many_members(), {"-L", "1"});
  const std::string target = home_ / "target";
  writeBytes(target + "/big/d0/m0.bin", "an older copy");
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  utimes((target + "/big/d0/m0.bin").c_str(), old);
  const std::string before = snapshot_tree(target);

  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, target);
  // The older copy is the package's: the update is offered first.
  click(dialog->nextButton());
  ASSERT_EQ(CInstallerDlg::kStateMaintenance, dialog->state());
  MessageBoxAnswerer answers({GTK_RESPONSE_NO, GTK_RESPONSE_NO, GTK_RESPONSE_YES});
  bool windowSurvivedClose = false;
  When cancelling([&] { return dialog->state() == CInstallerDlg::kStateProgress; },
                  [&] {
                    click(dialog->cancelButton());    // No: the copy goes on
                    send_close(dialog->window());     // No: and the window stays
                    windowSurvivedClose = dialog->window() != nullptr;
                    send_key(dialog->window(), GDK_Escape);  // Yes
                  });
  // Next returns at once: the main loop, not the button, follows the copy.
  click(dialog->nextButton());
  EXPECT_EQ(CInstallerDlg::kStateProgress, dialog->state());
  EXPECT_TRUE(dialog->copying());
  while (dialog->copying()) gtk_main_iteration();
  ASSERT_TRUE(cancelling.done());
  ASSERT_EQ(3u, answers.boxes().size());
  for (const MessageBoxAnswerer::Box& box : answers.boxes()) {
    EXPECT_EQ(text_of("IDS_ACCEPT_CANCEL"), box.text);
  }
  EXPECT_TRUE(windowSurvivedClose);
  ASSERT_EQ(CInstallerDlg::kStateCancelled, dialog->state());
  EXPECT_EQ(text_of("IDS_CANCEL_FINISH"), label_text(dialog->cancelledPage()->label()));
  EXPECT_EQ(before, snapshot_tree(target));
  EXPECT_FALSE(exists(ordinaryFile()));
  EXPECT_EQ(kExitCancelled, dialog->exitStatus());
  click(dialog->nextButton());
  EXPECT_EQ(nullptr, dialog->window());
}

TEST_F(WizardTest, TerminationSignalDuringTheCopyRollsBackAndEnds) {
  makePackage(many_members(), {"-L", "1"});
  const std::string target = home_ / "target";
  writeBytes(target + "/keep.txt", "kept");
  const std::string before = snapshot_tree(target);

  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, target);
  // The second signal must not cut the rollback short.
  When terminating([&] { return dialog->state() == CInstallerDlg::kStateProgress; },
                   [&] {
                     raise(SIGTERM);
                     raise(SIGHUP);
                   });
  startCopy(*dialog);
  ASSERT_TRUE(terminating.done());
  EXPECT_EQ(CInstallerDlg::kStateCancelled, dialog->state());
  EXPECT_EQ(nullptr, dialog->window());  // ended without waiting for Finish
  EXPECT_EQ(before, snapshot_tree(target));
  EXPECT_FALSE(exists(ordinaryFile()));
  EXPECT_EQ(kExitCancelled, dialog->exitStatus());
  // Outside the copy the usual disposition is back.
  struct sigaction now;
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(SIG_DFL, now.sa_handler);
}

// The value of the first template directory line of a launcher file.
std::string first_template_location(const std::string& text) {
  const std::string key = "ConfigurationTemplatesLocation=";
  size_t at = text.find(key);
  if (at == std::string::npos) return "<none>";
  at += key.size();
  return text.substr(at, text.find('\n', at) - at);
}

struct FamilyRow {
  bool ordinary;
  bool base;
  bool baseListEmpty;
  const char* expectedTarget;  // below HOME; null for the default folder
  bool writesOrdinary;
  bool writesBase;
};

TEST_F(WizardTest, SilentRunInstallsAndRegistersInTheRightFamilies) {
  makePackage({{"t/a.cfg", "alpha"}});
  const FamilyRow rows[] = {
      {true, true, false, "ord", true, true},
      {true, false, false, "ord", true, false},
      {false, true, false, "base", false, true},
      {false, true, true, nullptr, true, true},
      {false, false, false, nullptr, true, false},
  };
  int index = 0;
  for (const FamilyRow& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << ++index);
    ScratchDir home;
    ScopedEnv env("HOME", home.path().c_str());
    mkdir((home / "ord").c_str(), 0755);
    mkdir((home / "base").c_str(), 0755);
    const std::string ordinary = home / ".KX/kxlaunch/kxlaunch.cfg";
    const std::string base = home / ".KX/kxlauncht/kxlaunch.cfg";
    if (row.ordinary) writeBytes(ordinary, "ConfigurationTemplatesLocation=" + (home / "ord") + "\n");
    if (row.base) {
      writeBytes(base, row.baseListEmpty ? "DefaultVersion=8\n"
                                         : "ConfigurationTemplatesLocation=" + (home / "base") + "\n");
    }
    const std::string ordinaryBefore = readBytes(ordinary);
    const std::string baseBefore = readBytes(base);
    std::string target = row.expectedTarget ? home / row.expectedTarget : home / ".kxq5/KX/kxq5/tmplts";

    std::unique_ptr<CInstallerDlg> dialog = newDialog(true);
    bool backShown = true, nextShown = true, cancelShown = false;
    When watch([&] { return dialog->state() == CInstallerDlg::kStateProgress; },
               [&] {
                 backShown = visible(dialog->backButton());
                 nextShown = visible(dialog->nextButton());
                 cancelShown = visible(dialog->cancelButton());
               });
    dialog->DoModal();
    EXPECT_EQ(kExitInstalled, dialog->exitStatus());
    EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
    EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
    if (watch.done()) {
      EXPECT_FALSE(backShown);
      EXPECT_FALSE(nextShown);
      EXPECT_TRUE(cancelShown);
    }
    if (row.writesOrdinary) {
      EXPECT_EQ(target, first_template_location(readBytes(ordinary)));
    } else {
      EXPECT_EQ(ordinaryBefore, readBytes(ordinary));
    }
    if (row.writesBase) {
      EXPECT_EQ(target, first_template_location(readBytes(base)));
    } else {
      EXPECT_EQ(baseBefore, readBytes(base));
    }
    EXPECT_EQ("<missing>", openerLog());
  }
}

TEST_F(WizardTest, SilentRunWithoutATargetWritesNothing) {
  makePackage({{"t/a.cfg", "alpha"}});
  // A relative "http://x" entry is a writable folder here, and the only
  // entry: the default target is emptied by its scheme.
  ASSERT_EQ(0, mkdir((packageDir_ / "http:").c_str(), 0755));
  ASSERT_EQ(0, mkdir((packageDir_ / "http:/x").c_str(), 0755));
  writeBytes(ordinaryFile(), "ConfigurationTemplatesLocation=http://x\n");
  const std::string packageBefore = snapshot_tree(packageDir_.path());

  std::unique_ptr<CInstallerDlg> dialog = newDialog(true);
  MessageBoxAnswerer answers;
  dialog->DoModal();
  ASSERT_EQ(1u, answers.boxes().size());
  EXPECT_EQ(text_of("IDS_ERROR_NOTARGET"), answers.boxes()[0].text);
  EXPECT_EQ(GTK_MESSAGE_ERROR, answers.boxes()[0].type);
  EXPECT_EQ(nullptr, dialog->window());
  EXPECT_EQ(kExitNotStarted, dialog->exitStatus());
  EXPECT_EQ(packageBefore, snapshot_tree(packageDir_.path()));
  EXPECT_EQ("ConfigurationTemplatesLocation=http://x\n", readBytes(ordinaryFile()));
  EXPECT_FALSE(exists(home_ / ".kxq5"));
}

// A typed or pasted line break must not reach the launcher's file, where
// it would end the line and make the rest a key of its own.
TEST_F(WizardTest, LineBreakInTheEnteredDirectoryNeverSplitsTheLauncherLine) {
  makePackage({{"a.cfg", "alpha"}});
  writeBytes(ordinaryFile(), "DefaultVersion=8\n");
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, (home_ / "x") + "\nDefaultVersion=evil\r");
  startCopy(*dialog);
  ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  const std::string target = home_ / "xDefaultVersion=evil";
  EXPECT_EQ(target, utf8(dialog->targetPath()));
  EXPECT_EQ("alpha", readBytes(target + "/a.cfg"));
  EXPECT_EQ("DefaultVersion=8\nConfigurationTemplatesLocation=" + target + "\n",
            readBytes(ordinaryFile()));
}

// File names and the launcher's file are bytes: a listed directory whose
// name is Latin-1 is installed into and registered as it is, shown with a
// replacement character, and the other programs' lines (CP1251, Latin-1)
// come back byte for byte.
TEST_F(WizardTest, DirectoryWithForeignBytesIsInstalledAndRegisteredExactly) {
  makePackage({{"t/a.cfg", "alpha"}});
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "interactive");
    ScratchDir home;
    ScopedEnv env("HOME", home.path().c_str());
    const std::string target = home / "t\xe9mplates";
    ASSERT_EQ(0, mkdir(target.c_str(), 0755));
    const std::string installed = "InstalledLocation=C:\\\xcf\xf0\xee\xe3\xf0\xe0\xec\xec\xfb\n";
    const std::string owner = "Owner=Fran\xe7ois\n";
    const std::string ordinary = home / ".KX/kxlaunch/kxlaunch.cfg";
    writeBytes(ordinary, installed + "ConfigurationTemplatesLocation=/nonexistent/dir\n" +
                             "ConfigurationTemplatesLocation=" + target + "\n" + owner);

    std::unique_ptr<CInstallerDlg> dialog = newDialog(silent);
    if (silent) {
      dialog->DoModal();
    } else {
      start(*dialog);
      click(dialog->nextButton());
      ASSERT_EQ(CInstallerDlg::kStateSelectPath, dialog->state());
      EXPECT_EQ(home / "t\xef\xbf\xbdmplates",
                gtk_entry_get_text(GTK_ENTRY(dialog->dirSelectPage()->entry())));
      startCopy(*dialog);
    }
    ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
    EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
    EXPECT_EQ(installed + "ConfigurationTemplatesLocation=" + target + "\n" +
                  "ConfigurationTemplatesLocation=/nonexistent/dir\n" + owner,
              readBytes(ordinary));
  }
}

TEST_F(WizardTest, StartupFailuresAreReportedBeforeAnyWindow) {
  struct Case {
    const char* packageBytes;  // null: no package at all
    const char* key;
    std::string more;  // below the message
  } cases[] = {{nullptr, "IDS_ERROR_NOSOURCE", "\n" + text_of("IDS_ERROR_SEARCHED") + " " + packageDir_.path()},
               {"not a package", "IDS_ERROR_DAMAGEDSOURCE", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    remove(packagePath().c_str());
    if (c.packageBytes != nullptr) writeBytes(packagePath(), c.packageBytes);
    for (bool silent : {false, true}) {
      std::unique_ptr<CInstallerDlg> dialog = newDialog(silent);
      MessageBoxAnswerer answers;
      dialog->DoModal();
      ASSERT_EQ(1u, answers.boxes().size());
      EXPECT_EQ(text_of(c.key) + c.more, answers.boxes()[0].text);
      EXPECT_EQ(GTK_MESSAGE_ERROR, answers.boxes()[0].type);
      EXPECT_EQ(nullptr, dialog->window());
      EXPECT_EQ(kExitNotStarted, dialog->exitStatus());
    }
  }
  EXPECT_EQ("", snapshot_tree(tmp_.path()));
}

// A package whose damage lies far behind the header: random bytes are
// stored, not compressed, so a flipped byte near the end of the package
// changes the last member's bytes, and only its checksum tells.
void make_late_damaged_package(const std::string& packagePath,
                               const std::function<void(const std::map<std::string, std::string>&)>& make) {
  std::string noise(24u << 20, '\0');
  unsigned long long state = 88172645463325252ull;
  for (size_t i = 0; i < noise.size(); i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    memcpy(&noise[i], &state, 8);
  }
  make({{"a.txt", "a"}, {"z/noise.bin", noise}});
  std::string package = readBytes(packagePath);
  package[package.size() - 100] = static_cast<char>(package[package.size() - 100] ^ 0x20);
  writeBytes(packagePath, package);
}

// Damage far behind the header is found while the package inflates behind
// the first pages (or, in a silent run, during the copy): the same box as
// at the start, status 1, and nothing written anywhere. The worker may
// linger after its run before it ends: the outcome must not be read from
// half of its report.
TEST_F(WizardTest, DamageBehindTheHeaderEndsTheRunWithTheDamagedBox) {
  make_late_damaged_package(packagePath(), [this](const std::map<std::string, std::string>& m) {
    makePackage(m);
  });
  std::string target = home_ / "target";
  struct Case {
    bool silent;
    int pauseAfterRunMs;
  } cases[] = {{false, 0}, {true, 0}, {true, 400}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.silent ? "silent" : "interactive") << " pause "
                                    << c.pauseAfterRunMs);
    InstallSession::setPauseAfterRunForTests(c.pauseAfterRunMs);
    std::unique_ptr<CInstallerDlg> dialog = newDialog(c.silent);
    dialog->setTargetOption(widen_lib(target.c_str()));
    MessageBoxAnswerer answers;
    dialog->DoModal();
    InstallSession::setPauseAfterRunForTests(0);
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_EQ(text_of("IDS_ERROR_DAMAGEDSOURCE"), answers.boxes()[0].text);
    EXPECT_EQ(GTK_MESSAGE_ERROR, answers.boxes()[0].type);
    EXPECT_EQ(nullptr, dialog->window());
    EXPECT_EQ(kExitNotStarted, dialog->exitStatus());
    EXPECT_FALSE(exists(ordinaryFile()));
  }
  EXPECT_FALSE(exists(target));
  EXPECT_EQ("", snapshot_tree(tmp_.path()));
}

// A key pair made here, its public key file, and the signature file of the
// package as it is now, with signer as the trusted comment.
void sign_package(const std::string& packagePath, const std::string& keyPath, const std::string& signer) {
  ASSERT_GE(sodium_init(), 0);
  unsigned char raw[2 + 8 + crypto_sign_PUBLICKEYBYTES] = {'E', 'd'};
  SignatureSecretKey secret;
  randombytes_buf(secret.keyId, sizeof secret.keyId);
  crypto_sign_keypair(raw + 10, secret.key);
  memcpy(raw + 2, secret.keyId, sizeof secret.keyId);
  char line[sodium_base64_ENCODED_LEN(sizeof raw, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(line, sizeof line, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  writeBytes(keyPath, std::string("untrusted comment: test key\n") + line + "\n");
  std::string package = readBytes(packagePath);
  PackageHash hash;
  hash.update(package.data(), package.size());
  writeBytes(packagePath + ".minisig", hash.sign(secret, signer));
}

// Under a pinned key the welcome page names the signer; a package changed
// after signing, found while it inflates behind the first pages or during
// the copy, ends the run with the signature's words, status 1 and nothing
// written anywhere.
TEST_F(WizardTest, SignerOnTheWelcomePageAndAChangedPackageIsRefusedInItsWords) {
  struct KeyOption {
    explicit KeyOption(const std::string& path) { set_key_option(path.c_str()); }
    ~KeyOption() { clear_key_option(); }
  } pinned(home_ / "vendor.pub");
  makePackage({{"t/a.txt", "a"}}, {"-l", "en", "-p", "Ledger Templates", "-v", "Northwind"});
  sign_package(packagePath(), home_ / "vendor.pub", "Northwind release team\ttimestamp:1765360000");
  {
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    start(*dialog);
    EXPECT_EQ("Welcome to the product installation program Ledger Templates (Northwind).\n\n"
              "Signed by: Northwind release team",
              label_text(dialog->welcomePage()->label()));
  }

  make_late_damaged_package(packagePath(), [this](const std::map<std::string, std::string>& m) {
    makePackage(m);
    sign_package(packagePath(), home_ / "vendor.pub", "Northwind release team");
  });
  std::string target = home_ / "target";
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "interactive");
    std::unique_ptr<CInstallerDlg> dialog = newDialog(silent);
    dialog->setTargetOption(widen_lib(target.c_str()));
    MessageBoxAnswerer answers;
    dialog->DoModal();
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_EQ(text_of("IDS_SIG_BAD"), answers.boxes()[0].text);
    EXPECT_EQ(kExitNotStarted, dialog->exitStatus());
    EXPECT_STREQ("bad", dialog->summary().signature);
    EXPECT_FALSE(exists(ordinaryFile()));
  }
  EXPECT_FALSE(exists(target));
  EXPECT_EQ("", snapshot_tree(tmp_.path()));
}

// While another run holds the target, the progress page says so (not
// "copying" over an empty bar); once it is free, the copy goes on.
TEST_F(WizardTest, WaitForAnotherRunsLockIsShownOnTheProgressPage) {
  makePackage({{"t/a.cfg", "alpha"}});
  const std::string target = home_ / "shared";
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  int held = open(target.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, flock(held, LOCK_EX));

  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, target);
  std::string shown;
  When waiting([&] {
                 return dialog->state() == CInstallerDlg::kStateProgress &&
                        label_text(dialog->progressPage()->status()) != text_of("IDS_PROGRESS_START");
               },
               [&] {
                 shown = label_text(dialog->progressPage()->status());
                 close(held);
               });
  startCopy(*dialog);
  EXPECT_EQ(text_of("IDS_WAITING_LOCK") + " " + target, shown);
  EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
}

TEST_F(WizardTest, InteractiveRunThroughDoModal) {
  makePackage({{"t/a.cfg", "alpha"}});
  const std::string target = home_ / "chosen";
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  CInstallerDlg* d = dialog.get();
  // Each step waits for its page; the copy runs from the main loop, so
  // every step is a source of its own.
  When welcome([&] { return d->state() == CInstallerDlg::kStateWelcome; },
               [&] { click(d->nextButton()); });
  When directory([&] { return d->state() == CInstallerDlg::kStateSelectPath; },
                 [&] {
                   gtk_entry_set_text(GTK_ENTRY(d->dirSelectPage()->entry()), target.c_str());
                   click(d->nextButton());
                 });
  When finish([&] { return d->state() == CInstallerDlg::kStateSuccess; },
              [&] { click(d->nextButton()); });
  dialog->DoModal();
  EXPECT_TRUE(finish.done());
  EXPECT_EQ(kExitInstalled, dialog->exitStatus());
  EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
}

// Every label below widget, visible or not.
void collect_label_widgets(GtkWidget* widget, std::vector<GtkWidget*>& labels) {
  if (GTK_IS_LABEL(widget)) {
    labels.push_back(widget);
  } else if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child != nullptr; child = child->next)
      collect_label_widgets(GTK_WIDGET(child->data), labels);
    g_list_free(children);
  }
}

bool named(GtkWidget* widget) {
  const gchar* name = atk_object_get_name(gtk_widget_get_accessible(widget));
  if (name == nullptr) return false;
  // A name of punctuation ("...") says nothing.
  for (const gchar* p = name; *p != 0; p = g_utf8_next_char(p))
    if (g_unichar_isalpha(g_utf8_get_char(p))) return true;
  return false;
}

// What a user of the page shown depends on: each label's text lies inside
// its allocation, no two widgets overlap and none leaves the window, button
// captions are drawn at the window's font, and every control has a name
// that a screen reader can announce.
void expect_page_readable(GtkWidget* window, const std::string& where) {
  // A window that grew is laid out once the X server has answered.
  for (int i = 0; i < 100; ++i) {
    settle();
    GtkAllocation box;
    gtk_widget_get_allocation(window, &box);
    gint width = 0, height = 0;
    gtk_window_get_default_size(GTK_WINDOW(window), &width, &height);
    bool allocated = box.width == width && box.height == height;
    GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(window))));
    for (GList* child = children; child != nullptr; child = child->next) {
      gtk_widget_get_allocation(GTK_WIDGET(child->data), &box);
      if (visible(GTK_WIDGET(child->data)) && box.x < 0) allocated = false;
    }
    g_list_free(children);
    if (allocated) break;
    g_usleep(20000);
  }
  GtkAllocation windowBox;
  gtk_widget_get_allocation(window, &windowBox);
  int fontSize = pango_font_description_get_size(gtk_widget_get_style(window)->font_desc);
  std::vector<GtkWidget*> shown;
  GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(window))));
  for (GList* child = children; child != nullptr; child = child->next)
    if (visible(GTK_WIDGET(child->data))) shown.push_back(GTK_WIDGET(child->data));
  g_list_free(children);
  for (size_t i = 0; i < shown.size(); ++i) {
    GtkWidget* widget = shown[i];
    const char* type = G_OBJECT_TYPE_NAME(widget);
    GtkAllocation box;
    gtk_widget_get_allocation(widget, &box);
    EXPECT_LE(box.x + box.width, windowBox.width) << where << ": " << type;
    EXPECT_LE(box.y + box.height, windowBox.height) << where << ": " << type;
    for (size_t j = 0; j < i; ++j) {
      GtkAllocation other;
      gtk_widget_get_allocation(shown[j], &other);
      bool apart = box.x >= other.x + other.width || other.x >= box.x + box.width ||
                   box.y >= other.y + other.height || other.y >= box.y + box.height;
      EXPECT_TRUE(apart) << where << ": " << type << " " << box.x << "," << box.y << " " << box.width
                         << "x" << box.height << " overlaps " << G_OBJECT_TYPE_NAME(shown[j]) << " "
                         << other.x << "," << other.y << " " << other.width << "x" << other.height;
    }
    std::vector<GtkWidget*> labels;
    collect_label_widgets(widget, labels);
    for (GtkWidget* label : labels) {
      if (!gtk_widget_get_visible(label) || gtk_label_get_text(GTK_LABEL(label))[0] == 0) continue;
      std::string what = where + ": " + label_text(label);
      GtkAllocation room;
      gtk_widget_get_allocation(label, &room);
      int x = 0, y = 0, width = 0, height = 0;
      gtk_label_get_layout_offsets(GTK_LABEL(label), &x, &y);
      pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width, &height);
      EXPECT_GE(x, room.x) << what;
      EXPECT_GE(y, room.y) << what;
      EXPECT_LE(x + width, room.x + room.width) << what;
      EXPECT_LE(y + height, room.y + room.height) << what;
      if (GTK_IS_BUTTON(widget)) {
        EXPECT_EQ(nullptr, gtk_label_get_attributes(GTK_LABEL(label))) << what;
        EXPECT_EQ(fontSize, pango_font_description_get_size(gtk_widget_get_style(label)->font_desc))
            << what;
      }
    }
    if (GTK_IS_BUTTON(widget) || GTK_IS_ENTRY(widget) || GTK_IS_PROGRESS_BAR(widget)) {
      EXPECT_TRUE(named(widget)) << where << ": " << type;
    }
  }
}

const char16_t* const kLanguageCodes[] = {u"ru", u"uk", u"en", u"lv", u"lt", u"bg",
                                          u"de", u"ro", u"ka", u"kk", u"vi", u"tr"};

TEST_F(WizardTest, EveryPageInEveryLanguageIsReadableAtTheDefaultAndALargeFont) {
  makePackage({{"t/a.cfg", "alpha"}},
              {"-l", "en", "-p", "Ledger Templates 5", "-v", "Northwind Software"});
  GtkSettings* settings = gtk_settings_get_default();
  gchar* defaultFont = nullptr;
  g_object_get(settings, "gtk-font-name", &defaultFont, nullptr);
  const std::string longPath = home_ / "a/rather/long/path/to/the/folder/that/the/run/could/not/use";
  writeBytes(home_ / "held/t/a.cfg", "alpha");
  for (std::string font : {std::string(defaultFont), std::string("Sans 16")}) {
    gtk_settings_set_string_property(settings, "gtk-font-name", font.c_str(), "gui_tests");
    for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
      set_resource_lang(static_cast<LangIdType>(lang));
      std::string where = utf8(stdx::u16string(kLanguageCodes[lang - 1])) + ", " + font + ", ";
      std::unique_ptr<CInstallerDlg> dialog = newDialog(false, kLanguageCodes[lang - 1]);
      start(*dialog);
      GtkWidget* window = dialog->window();
      expect_page_readable(window, where + "welcome");
      click(dialog->nextButton());
      expect_page_readable(window, where + "directory");
      // The entry's caption names it for a screen reader too.
      AtkRelationSet* relations =
          atk_object_ref_relation_set(gtk_widget_get_accessible(dialog->dirSelectPage()->entry()));
      EXPECT_TRUE(atk_relation_set_contains(relations, ATK_RELATION_LABELLED_BY)) << where;
      g_object_unref(relations);
      // A directory holding the package's file: the maintenance page.
      gtk_entry_set_text(GTK_ENTRY(dialog->dirSelectPage()->entry()), (home_ / "held").c_str());
      click(dialog->nextButton());
      EXPECT_EQ(CInstallerDlg::kStateMaintenance, dialog->state()) << where;
      expect_page_readable(window, where + "maintenance");
      dialog->showSuccessFinalPage();
      expect_page_readable(window, where + "success");
      InstallOutcome failed;
      failed.failure.code = ERROR_PATH_NOT_FOUND;
      failed.failure.errnoValue = ENOTDIR;
      failed.failure.path = u16(longPath);
      describe_outcome(failed);
      dialog->showErrorFinalPage(failed);
      expect_page_readable(window, where + "error");
      dialog->showCancelledFinalPage();
      expect_page_readable(window, where + "cancelled");
      for (GtkWidget* widget : dialog->cancelledPage()->widgets()) gtk_widget_hide(widget);
      ProgressPage progress(gtk_bin_get_child(GTK_BIN(window)), 480);
      for (GtkWidget* widget : progress.widgets()) gtk_widget_show(widget);
      expect_page_readable(window, where + "progress");
      progress.setProgress(100);
      expect_page_readable(window, where + "progress at its end");
      if (font == defaultFont) {
        GtkAllocation box;
        gtk_widget_get_allocation(window, &box);
        EXPECT_EQ(500, box.width) << where;
        EXPECT_EQ(360, box.height) << where;
      }
    }
  }
  gtk_settings_set_string_property(settings, "gtk-font-name", defaultFont, "gui_tests");
  g_free(defaultFont);
  set_resource_lang(LANG_EN);
}

// Alt and each page's mnemonics, read off the captions as shown: the
// buttons act, the caption takes the keyboard to the entry, the check box
// toggles, and Finish ends the run.
TEST_F(WizardTest, MnemonicsReachTheirControlsInEveryLanguage) {
  makePackage({{"t/a.cfg", "alpha"}});
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    set_resource_lang(static_cast<LangIdType>(lang));
    SCOPED_TRACE(utf8(stdx::u16string(kLanguageCodes[lang - 1])));
    std::unique_ptr<CInstallerDlg> dialog = newDialog(false, kLanguageCodes[lang - 1]);
    start(*dialog);
    GtkWidget* window = dialog->window();
    auto keyOf = [](GtkWidget* widget) {
      GtkWidget* label = GTK_IS_LABEL(widget) ? widget : gtk_bin_get_child(GTK_BIN(widget));
      return gtk_label_get_mnemonic_keyval(GTK_LABEL(label));
    };
    // A button pressed from the keyboard reports its click a moment later.
    auto press = [&](GtkWidget* widget, std::function<bool()> done) {
      guint key = keyOf(widget);
      ASSERT_NE(static_cast<guint>(GDK_VoidSymbol), key);
      ASSERT_TRUE(gtk_window_mnemonic_activate(GTK_WINDOW(window), key, GDK_MOD1_MASK));
      for (int i = 0; i < 250 && !done(); ++i) {
        settle();
        g_usleep(20000);
      }
      EXPECT_TRUE(done());
    };
    auto in = [&](unsigned state) { return [&, state] { return dialog->state() == state; }; };
    press(dialog->nextButton(), in(CInstallerDlg::kStateSelectPath));
    GtkWidget* entry = dialog->dirSelectPage()->entry();
    gtk_widget_grab_focus(dialog->cancelButton());
    press(dialog->dirSelectPage()->caption(),
          [&] { return gtk_window_get_focus(GTK_WINDOW(window)) == entry; });
    {
      // The "..." button opens the folder chooser; Cancel there changes nothing.
      bool chooserSeen = false;
      When chooser([] { return find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG) != nullptr; },
                   [&] {
                     chooserSeen = true;
                     gtk_dialog_response(GTK_DIALOG(find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG)),
                                         GTK_RESPONSE_CANCEL);
                   });
      press(dialog->dirSelectPage()->browseButton(), [&] { return chooserSeen; });
    }
    press(dialog->backButton(), in(CInstallerDlg::kStateWelcome));
    press(dialog->nextButton(), in(CInstallerDlg::kStateSelectPath));
    {
      MessageBoxAnswerer answers({GTK_RESPONSE_NO});
      press(dialog->cancelButton(), [&] { return answers.boxes().size() == 1; });
    }
    gtk_entry_set_text(GTK_ENTRY(entry), (home_ / ("t-" + std::to_string(lang))).c_str());
    startCopy(*dialog);
    ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
    GtkWidget* box = dialog->successPage()->checkBox();
    press(box, [&] { return !dialog->successPage()->isShowReadmeChecked(); });
    press(dialog->nextButton(), [&] { return dialog->window() == nullptr; });
    EXPECT_EQ(kExitInstalled, dialog->exitStatus());
  }
  set_resource_lang(LANG_EN);
}

TEST_F(WizardTest, DirectoryPageFocusesTheEntryShowsThePathsEndAndEnterActsAsNext) {
  makePackage({{"t/a.cfg", "alpha"}});
  const std::string target = home_ / "a/rather/long/path/to/the/template/directory/of/this/run";
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  dialog->setTargetOption(widen_lib(stdx::string(target.c_str())));
  start(*dialog);
  click(dialog->nextButton());
  GtkWidget* entry = dialog->dirSelectPage()->entry();
  EXPECT_EQ(entry, gtk_window_get_focus(GTK_WINDOW(dialog->window())));
  EXPECT_EQ(g_utf8_strlen(target.c_str(), -1), gtk_editable_get_position(GTK_EDITABLE(entry)));
  // Nothing selected: a first keystroke adds to the path instead of replacing it.
  EXPECT_FALSE(gtk_editable_get_selection_bounds(GTK_EDITABLE(entry), nullptr, nullptr));

  gtk_widget_activate(entry);
  // A button activated from the keyboard shows itself pressed for a moment
  // before it reports the click.
  for (int i = 0; i < 250 && dialog->state() == CInstallerDlg::kStateSelectPath; ++i) {
    settle();
    g_usleep(20000);
  }
  while (dialog->copying()) gtk_main_iteration();
  EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  EXPECT_EQ("alpha", readBytes(target + "/t/a.cfg"));
}

// A box speaks the interface language: GTK's own captions where it has
// them (German), the program's where it has none (Georgian).
TEST_F(WizardTest, MessageBoxButtonsSpeakTheInterfaceLanguage) {
  makePackage({{"t/a.cfg", "alpha"}});
  const char* oldLanguage = getenv("LANGUAGE");
  std::string saved = oldLanguage != nullptr ? oldLanguage : "";
  struct Case {
    const char* code;
    LangIdType lang;
    std::vector<std::string> question;
    std::vector<std::string> warning;
    const char* questionName;
  } cases[] = {
      {"de", LANG_DE, {"_Ja", "_Nein"}, {"_OK"}, "Frage"},
      {"ka", LANG_KA, {"_\u10d3\u10d8\u10d0\u10ee", "_\u10d0\u10e0\u10d0"},
       {"_\u10d9\u10d0\u10e0\u10d2\u10d8"}, "\u10d9\u10d8\u10d7\u10ee\u10d5\u10d0"},
      {"en", LANG_EN, {"_Yes", "_No"}, {"_OK"}, "Question"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    set_toolkit_language(c.code);
    set_resource_lang(c.lang);
    std::unique_ptr<CInstallerDlg> dialog = newDialog(false, widen_lib(stdx::string(c.code)).c_str());
    start(*dialog);
    click(dialog->nextButton());
    gtk_entry_set_text(GTK_ENTRY(dialog->dirSelectPage()->entry()), "");
    MessageBoxAnswerer answers({GTK_RESPONSE_NO});
    click(dialog->cancelButton());
    click(dialog->nextButton());
    ASSERT_EQ(2u, answers.boxes().size());
    EXPECT_EQ(text_of("IDS_ACCEPT_CANCEL"), answers.boxes()[0].text);
    EXPECT_EQ(c.question, answers.boxes()[0].buttons);
    EXPECT_EQ(c.questionName, answers.boxes()[0].accessibleName);
    EXPECT_EQ(text_of("IDS_SETUP_EMPTYTARGET"), answers.boxes()[1].text);
    EXPECT_EQ(c.warning, answers.boxes()[1].buttons);
  }
  set_resource_lang(LANG_EN);
  if (oldLanguage != nullptr) setenv("LANGUAGE", saved.c_str(), 1); else unsetenv("LANGUAGE");
}

class PagesTest : public WizardTest {
 protected:
  PagesTest() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed_);
    picture_ = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 158, 286);
  }
  ~PagesTest() override {
    gtk_widget_destroy(window_);
    g_object_unref(picture_);
  }

  GtkWidget* window_;
  GtkWidget* fixed_;
  GdkPixbuf* picture_;
};

TEST_F(PagesTest, ProgressShowsTheFinishTextOnlyAtExactlyOneHundred) {
  ProgressPage page(fixed_, 480);
  page.setProgress(99);
  EXPECT_EQ(text_of("IDS_PROGRESS_START"), label_text(page.status()));
  EXPECT_DOUBLE_EQ(0.99, gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(page.bar())));
  page.setProgress(99, 7, 7);
  EXPECT_EQ("Copying files: 7 of 7 (99%)", label_text(page.status()));
  page.setProgress(100);
  EXPECT_EQ(text_of("IDS_INSTALL_FINISH"), label_text(page.status()));
  EXPECT_DOUBLE_EQ(1.0, gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(page.bar())));
}

TEST_F(PagesTest, FolderChooserOpensAtTheNearestExistingFolderTitledAndAttached) {
  DirSelectPage page(fixed_, picture_);
  gtk_widget_show_all(window_);
  const std::string existing = home_ / "kept";
  ASSERT_EQ(0, mkdir(existing.c_str(), 0755));
  gchar* tooltip = gtk_widget_get_tooltip_text(page.browseButton());
  EXPECT_EQ(text_of("IDS_CHOOSEDIR_TOOLTIP"), tooltip != nullptr ? tooltip : "");
  g_free(tooltip);

  // A folder that is not there yet opens its nearest parent that is.
  page.setPath(widen_lib(stdx::string((existing + "/not/yet").c_str())));
  std::string opened, title;
  GtkWindow* parent = nullptr;
  // The chooser reports its folder once it has loaded it: look until it
  // does (or five seconds have passed, to fail rather than hang).
  int ticks = 0;
  When look(
      [&] {
        GtkWidget* chooser = find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG);
        if (chooser == nullptr) return false;
        gchar* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
        opened = folder != nullptr ? folder : "";
        g_free(folder);
        return !opened.empty() || ++ticks > 250;
      },
      [&] {
        GtkWidget* chooser = find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG);
        title = gtk_window_get_title(GTK_WINDOW(chooser));
        parent = gtk_window_get_transient_for(GTK_WINDOW(chooser));
        gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
      });
  click(page.browseButton());
  ASSERT_TRUE(look.done());
  EXPECT_EQ(existing, opened);
  EXPECT_EQ(text_of("IDS_CHOOSEDIR_TITLE"), title);
  EXPECT_EQ(GTK_WINDOW(window_), parent);
}

TEST_F(PagesTest, FolderChooserFillsTheEntryOnlyWhenAccepted) {
  DirSelectPage page(fixed_, picture_);
  gtk_widget_show_all(window_);
  page.setPath(stdx::u16string(u"/kept"));
  {
    When cancel([] { return find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG) != nullptr; },
                [] { gtk_dialog_response(GTK_DIALOG(find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG)),
                                         GTK_RESPONSE_CANCEL); });
    click(page.browseButton());
    EXPECT_TRUE(cancel.done());
  }
  EXPECT_EQ("/kept", utf8(page.getPath()));

  const std::string folder = home_ / "picked";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  {
    // The chooser selects asynchronously: ask for the folder, then accept
    // once the chooser reports it (or after five seconds, to fail rather than hang).
    bool asked = false;
    int ticks = 0;
    When accept(
        [&] {
          GtkWidget* chooser = find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG);
          if (chooser == nullptr) return false;
          if (!asked) {
            gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(chooser), folder.c_str());
            asked = true;
          }
          gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
          bool ready = chosen != nullptr && folder == chosen;
          g_free(chosen);
          return ready || ++ticks > 250;
        },
        [] {
          gtk_dialog_response(GTK_DIALOG(find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG)),
                              GTK_RESPONSE_ACCEPT);
        });
    click(page.browseButton());
    EXPECT_TRUE(accept.done());
  }
  EXPECT_EQ(folder, utf8(page.getPath()));
}


// One of the numbers a screen reader reads off a control (GTK 2's
// accessibility layer has only these calls, which ATK marks as old).
enum class Reading { kCurrent, kMinimum, kMaximum };
double accessible_number(GtkWidget* widget, Reading reading) {
  AtkValue* value = ATK_VALUE(gtk_widget_get_accessible(widget));
  GValue number = G_VALUE_INIT;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  switch (reading) {
    case Reading::kCurrent: atk_value_get_current_value(value, &number); break;
    case Reading::kMinimum: atk_value_get_minimum_value(value, &number); break;
    case Reading::kMaximum: atk_value_get_maximum_value(value, &number); break;
  }
  G_GNUC_END_IGNORE_DEPRECATIONS
  double n = G_VALUE_HOLDS_DOUBLE(&number) ? g_value_get_double(&number) : -1;
  if (G_IS_VALUE(&number)) g_value_unset(&number);
  return n;
}

// What a screen reader reads off the bar: its value from 0 to 100, told
// as it changes, with no complaint from the toolkit on any query.
TEST_F(PagesTest, ProgressBarValueIsExposedAsItMoves) {
  guint criticals = 0;
  guint handler = g_log_set_handler(
      "GLib-GObject", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer count) { ++*static_cast<guint*>(count); },
      &criticals);
  ProgressPage page(fixed_, 480);
  AtkObject* accessible = gtk_widget_get_accessible(page.bar());
  ASSERT_TRUE(ATK_IS_VALUE(accessible));
  int told = 0;
  gulong watch = g_signal_connect(accessible, "property-change::accessible-value",
                                  G_CALLBACK(+[](AtkObject*, gpointer, gpointer n) { ++*static_cast<int*>(n); }),
                                  &told);
  EXPECT_EQ(0, accessible_number(page.bar(), Reading::kMinimum));
  EXPECT_EQ(100, accessible_number(page.bar(), Reading::kMaximum));
  struct Step {
    int percent;
    size_t done, total;
    const char* file;
    const char* status;
  } steps[] = {
      {0, 0, 0, "", "Files being copied..."},
      {37, 2, 5, "/t/tmplts/b.cfg", "Copying files: 2 of 5 (37%)\n/t/tmplts/b.cfg"},
      {95, 5, 5, "", "Copying files: 5 of 5 (95%)"},
      {100, 5, 5, "", "Copying complete..."},
  };
  for (const Step& step : steps) {
    page.setProgress(step.percent, step.done, step.total, u16(step.file));
    EXPECT_EQ(step.percent, accessible_number(page.bar(), Reading::kCurrent)) << step.percent;
    EXPECT_EQ(step.status, label_text(page.status()));
    EXPECT_EQ(std::to_string(step.percent) + "%", gtk_progress_bar_get_text(GTK_PROGRESS_BAR(page.bar())));
  }
  EXPECT_EQ(3, told);  // every change but the first, which is no change
  g_signal_handler_disconnect(accessible, watch);
  g_log_remove_handler("GLib-GObject", handler);
  EXPECT_EQ(0u, criticals);
}

// During a real copy the page names the file being copied, how many of how
// many, and the percent, and the bar's accessible value follows.
TEST_F(WizardTest, CopyShowsTheFileTheCountAndThePercent) {
  makePackage(many_members(), {"-L", "1"});
  const std::string target = home_ / "target";
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, target);
  std::string status;
  double value = -1;
  When midway([&] {
                return dialog->state() == CInstallerDlg::kStateProgress &&
                       label_text(dialog->progressPage()->status()).find(target + "/big/") != std::string::npos;
              },
              [&] {
                status = label_text(dialog->progressPage()->status());
                value = accessible_number(dialog->progressPage()->bar(), Reading::kCurrent);
              });
  startCopy(*dialog);
  ASSERT_TRUE(midway.done());
  EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  // "Copying files: N of 12000 (P%)", then the file's path.
  size_t of = status.find(" of 12000 (");
  ASSERT_NE(std::string::npos, of) << status;
  int done = atoi(status.c_str() + status.rfind(' ', of - 1) + 1);
  int percent = atoi(status.c_str() + of + 11);
  EXPECT_GE(done, 1) << status;
  EXPECT_LE(done, 12000) << status;
  EXPECT_EQ(percent, static_cast<int>(value)) << status;
  std::string file = status.substr(status.find('\n') + 1);
  EXPECT_TRUE(exists(file)) << file;
}

// Where each line of a label starts within its text.
std::vector<int> line_starts(GtkWidget* label) {
  std::vector<int> starts;
  for (GSList* line = pango_layout_get_lines_readonly(gtk_label_get_layout(GTK_LABEL(label))); line != nullptr;
       line = line->next)
    starts.push_back(static_cast<PangoLayoutLine*>(line->data)->start_index);
  return starts;
}

// A path on a page is shown as it is: a line within it starts only after
// one of its "/" (so no hyphen is ever drawn into it), and it can be
// selected and copied.
TEST_F(WizardTest, PathsOnThePagesBreakOnlyAfterASlashAndCanBeSelected) {
  makePackage({{"t/a.cfg", "alpha"}});
  struct Case {
    const char* where;
    std::string path;
  } cases[] = {
      {"hyphens", home_ / "a-rather-long-name/with-many-hyphenated-parts/and-more-of-them/x-y-z"},
      {"one long part", home_ / "templates/averyveryverylongfoldernamewithoutanybreakopportunityinsideit/x"},
      {"blanks", home_ / "my templates/of the accounting department/for this year/and next"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    dialog->setTargetOption(u16(c.path));
    start(*dialog);
    dialog->showSuccessFinalPage();
    InstallOutcome failed;
    failed.failure.code = ERROR_PATH_NOT_FOUND;
    failed.failure.errnoValue = ENOTDIR;
    failed.failure.path = u16(c.path + "/t/a.cfg");
    describe_outcome(failed);
    for (int page = 0; page < 2; ++page) {
      if (page == 1) dialog->showErrorFinalPage(failed);
      GtkWidget* label = page == 0 ? dialog->successPage()->label() : dialog->errorPage()->label();
      std::string text = label_text(label);
      const std::string& path = page == 0 ? c.path : c.path + "/t/a.cfg";
      size_t at = text.find(path);
      ASSERT_NE(std::string::npos, at) << text;
      std::vector<int> starts = line_starts(label);
      EXPECT_GT(starts.size(), 2u) << text;
      for (int start : starts) {
        if (start <= static_cast<int>(at) || start >= static_cast<int>(at + path.size())) continue;
        EXPECT_EQ('/', text[start - 1]) << text.substr(at, start - at) << " | " << text.substr(start);
      }
      EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(label)));
      // A part that cannot be broken widens the window rather than being cut.
      GtkAllocation window, area;
      gtk_widget_get_allocation(dialog->window(), &window);
      gtk_widget_get_allocation(label, &area);
      PangoRectangle ink, logical;
      pango_layout_get_pixel_extents(gtk_label_get_layout(GTK_LABEL(label)), &ink, &logical);
      settle();
      gtk_widget_get_allocation(dialog->window(), &window);
      EXPECT_LE(area.x + logical.width, window.width);
    }
  }
}

// The default button has the focus on every page but the directory's (the
// entry has it there), so that a screen reader reads each new page.
TEST_F(WizardTest, DefaultButtonHasTheFocusOnEveryPage) {
  makePackage({{"t/a.cfg", "alpha"}});
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  GtkWindow* window = GTK_WINDOW(dialog->window());
  EXPECT_EQ(dialog->nextButton(), gtk_window_get_focus(window)) << "welcome";
  goToDirectoryPage(*dialog, home_ / "t");
  EXPECT_EQ(dialog->dirSelectPage()->entry(), gtk_window_get_focus(window)) << "directory";
  GtkWidget* focusDuringCopy = nullptr;
  When copying([&] { return dialog->state() == CInstallerDlg::kStateProgress; },
               [&] { focusDuringCopy = gtk_window_get_focus(window); });
  startCopy(*dialog);
  EXPECT_EQ(dialog->cancelButton(), focusDuringCopy) << "progress";
  EXPECT_EQ(dialog->nextButton(), gtk_window_get_focus(window)) << "success";
  InstallOutcome failed;
  failed.failure.code = ERROR_ACCESS_DENIED;
  failed.failure.errnoValue = EACCES;
  failed.failure.path = u"/t/a.cfg";
  describe_outcome(failed);
  dialog->showErrorFinalPage(failed);
  EXPECT_EQ(dialog->nextButton(), gtk_window_get_focus(window)) << "error";
  dialog->showCancelledFinalPage();
  EXPECT_EQ(dialog->nextButton(), gtk_window_get_focus(window)) << "cancelled";
}

// A screen of the given work area (0 by 0: as it is) and a font, for one
// test; the screen, the font and English are back as they were after it.
class ScreenAndFont {
 public:
  ScreenAndFont(long width, long height, const char* font) : settings_(gtk_settings_get_default()) {
    if (width > 0) {
      const long area[4] = {0, 0, width, height};
      gdk_property_change(gdk_get_default_root_window(), workArea(), gdk_atom_intern_static_string("CARDINAL"), 32,
                          GDK_PROP_MODE_REPLACE, reinterpret_cast<const guchar*>(area), 4);
      gdk_flush();
      setArea_ = true;
    }
    g_object_get(settings_, "gtk-font-name", &defaultFont_, nullptr);
    gtk_settings_set_string_property(settings_, "gtk-font-name", font, "gui_tests");
  }
  ~ScreenAndFont() {
    set_resource_lang(LANG_EN);
    gtk_settings_set_string_property(settings_, "gtk-font-name", defaultFont_, "gui_tests");
    g_free(defaultFont_);
    if (setArea_) {
      gdk_property_delete(gdk_get_default_root_window(), workArea());
      gdk_flush();
    }
  }

 private:
  static GdkAtom workArea() { return gdk_atom_intern_static_string("_NET_WORKAREA"); }
  GtkSettings* settings_;
  gchar* defaultFont_ = nullptr;
  bool setArea_ = false;
};

// A failure whose undo could not put back `undone` files: a long error page.
InstallOutcome failure_with_undo_failures(int undone) {
  InstallOutcome failed;
  failed.failure.code = ERROR_ACCESS_DENIED;
  failed.failure.errnoValue = EACCES;
  failed.failure.path = u"/home/user/.kxq5/KX/kxq5/tmplts/accounting/forms/annual-report.cfg";
  for (int i = 0; i < undone; ++i) {
    UndoFailure undo;
    undo.step = UndoFailure::kRestore;
    undo.path = u"/home/user/.kxq5/KX/kxq5/tmplts/accounting/forms/form-" + u16(std::to_string(i)) + u".cfg";
    undo.kept = undo.path + u".previous-copy-kept-here";
    undo.errnoValue = EROFS;
    failed.undoFailures.push_back(undo);
  }
  describe_outcome(failed);
  return failed;
}

// A large font on a small screen: the window stays within the work area
// (it widens its text first), and the buttons stay on the screen.
TEST_F(WizardTest, WindowNeverExceedsTheWorkAreaAtALargeFont) {
  makePackage({{"t/a.cfg", "alpha"}});
  ScreenAndFont screen(1024, 768, "Sans 20");
  InstallOutcome failed = failure_with_undo_failures(3);
  for (int lang = LANG_RU; lang <= LANG_TR; ++lang) {
    set_resource_lang(static_cast<LangIdType>(lang));
    SCOPED_TRACE(utf8(stdx::u16string(kLanguageCodes[lang - 1])));
    describe_outcome(failed);
    std::unique_ptr<CInstallerDlg> dialog = newDialog(false, kLanguageCodes[lang - 1]);
    start(*dialog);
    dialog->showErrorFinalPage(failed);
    settle();
    GtkAllocation window, finish;
    gtk_widget_get_allocation(dialog->window(), &window);
    gtk_widget_get_allocation(dialog->nextButton(), &finish);
    EXPECT_LE(window.width, 1024);
    EXPECT_LE(window.height, 768 - 32);
    EXPECT_LE(finish.y + finish.height, window.height);
    EXPECT_LE(finish.x + finish.width, window.width);
  }
}

// A text too tall for a small screen even at the widest window: it
// scrolls, the whole of it within reach, and the buttons stay on the screen.
TEST_F(WizardTest, TextTooTallForTheScreenScrolls) {
  makePackage({{"t/a.cfg", "alpha"}});
  ScreenAndFont screen(800, 600, "Sans 20");
  set_resource_lang(LANG_KA);
  InstallOutcome failed = failure_with_undo_failures(6);
  struct Case {
    const char* name;
    std::function<MessagePage*(CInstallerDlg&)> show;
    bool scrolls;
  } cases[] = {
      {"error page, six things not put back", [&](CInstallerDlg& d) {
         d.showErrorFinalPage(failed);
         return d.errorPage();
       }, true},
      {"cancelled page", [](CInstallerDlg& d) {
         d.showCancelledFinalPage();
         return d.cancelledPage();
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CInstallerDlg> dialog = newDialog(false, u"ka");
    start(*dialog);
    MessagePage* page = c.show(*dialog);
    // The new page's text is laid out once the window's new size is through.
    GtkAllocation window, finish, text, separator;
    for (int tick = 0; tick < 300; ++tick) {
      settle();
      gtk_widget_get_allocation(gtk_bin_get_child(GTK_BIN(page->textScroll())), &text);
      if (text.width > 1) break;
      g_usleep(10000);
    }
    gtk_widget_get_allocation(dialog->window(), &window);
    gtk_widget_get_allocation(dialog->nextButton(), &finish);
    gtk_widget_get_allocation(page->textScroll(), &text);
    gtk_widget_get_allocation(dialog->separator(), &separator);
    EXPECT_LE(window.width, 800);
    EXPECT_LE(window.height, 600 - 32);
    EXPECT_LE(finish.y + finish.height, window.height);
    EXPECT_LE(finish.x + finish.width, window.width);
    // The text ends above the button row, and every line can be scrolled to.
    EXPECT_LE(text.y + text.height, separator.y);
    GtkAdjustment* v = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(page->textScroll()));
    GtkRequisition label;
    gtk_widget_size_request(page->label(), &label);
    EXPECT_GE(gtk_adjustment_get_upper(v), label.height);
    EXPECT_EQ(c.scrolls, gtk_adjustment_get_page_size(v) < gtk_adjustment_get_upper(v));
    EXPECT_EQ(c.scrolls, visible(gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(page->textScroll()))));
  }
}

// Georgian at a large font: the status text wraps and keeps every word.
TEST_F(WizardTest, ProgressStatusWrapsAndIsNeverCut) {
  ScreenAndFont screen(0, 0, "Sans 20");
  set_resource_lang(LANG_KA);
  {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);
    ProgressPage page(fixed, 480);
    gtk_widget_show_all(window);
    page.setProgress(42, 120, 12000, u"/home/user/.kxq5/KX/kxq5/tmplts/accounting/forms/annual-report.cfg");
    settle();
    PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(page.status()));
    EXPECT_FALSE(pango_layout_is_ellipsized(layout));
    EXPECT_GT(pango_layout_get_line_count(layout), 2);
    PangoRectangle ink, logical;
    pango_layout_get_pixel_extents(layout, &ink, &logical);
    EXPECT_LE(logical.width, 480);
    // The page and the window are laid out by what the label asks for.
    GtkRequisition status;
    gtk_widget_size_request(page.status(), &status);
    EXPECT_GE(status.height, logical.height);
    gtk_widget_destroy(window);
  }
}


// An opener that fails is no silent end: a box says which readme could not
// be opened and why, in the opener's words or by its status.
TEST_F(WizardTest, ReadmeThatCannotBeOpenedIsReported) {
  makePackage({{"t/a.cfg", "alpha"}, {"readme.txt", "hello"}}, {"-l", "en", "-p", "P", "-v", "V", "-r", "readme.txt"});
  struct Case {
    const char* opener;
    std::string cause;
  } cases[] = {
      {"echo 'xdg-open: no method available for opening it' >&2\nexit 3\n",
       "xdg-open: no method available for opening it"},
      {"exit 4\n", "the opener ended with status 4"},
      {"exit 0\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.opener);
    writeBytes(bin_ / "xdg-open", std::string("#!/bin/sh\n") + c.opener);
    const std::string target = home_ / ("t" + std::to_string(&c - cases));
    std::unique_ptr<CInstallerDlg> dialog = newDialog();
    start(*dialog);
    goToDirectoryPage(*dialog, target);
    startCopy(*dialog);
    ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
    MessageBoxAnswerer answers;
    click(dialog->nextButton());
    EXPECT_EQ(nullptr, dialog->window());
    if (c.cause.empty()) {
      EXPECT_TRUE(answers.boxes().empty());
      continue;
    }
    ASSERT_EQ(1u, answers.boxes().size());
    EXPECT_EQ(GTK_MESSAGE_WARNING, answers.boxes()[0].type);
    EXPECT_EQ("The description of the distribution package " + target + "/readme.txt could not be opened: " +
                  c.cause,
              answers.boxes()[0].text);
  }
}


// "Open the template directory" hands the folder to the desktop's opener
// as one argument, and leaves the wizard where it is.
TEST_F(WizardTest, SuccessPageOpensTheTemplateDirectory) {
  makePackage({{"t/a.cfg", "alpha"}});
  const std::string target = home_ / "-templates; ls";
  std::unique_ptr<CInstallerDlg> dialog = newDialog();
  start(*dialog);
  goToDirectoryPage(*dialog, target);
  startCopy(*dialog);
  ASSERT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  GtkWidget* button = dialog->successPage()->folderButton();
  EXPECT_TRUE(visible(button));
  click(button);
  EXPECT_EQ("[" + target + "]\n", openerLog());
  EXPECT_EQ(CInstallerDlg::kStateSuccess, dialog->state());
  // A folder the opener cannot show is said so, in the interface language.
  writeBytes(bin_ / "xdg-open", "#!/bin/sh\necho 'no file manager' >&2\nexit 2\n");
  MessageBoxAnswerer answers;
  click(button);
  ASSERT_EQ(1u, answers.boxes().size());
  EXPECT_EQ("The template directory " + target + " could not be opened: no file manager", answers.boxes()[0].text);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The accessibility layer a screen reader would load, so that the tests
  // read the names it would announce.
  setenv("GTK_MODULES", "gail", 1);
  set_resource_lang(LANG_EN);
  return RUN_ALL_TESTS();
}
