#include <gdk/gdk.h>
#include <glib.h>

#include "app/installer_app.h"

int main(int argc, char** argv) {
  // The copy runs on a second thread; GLib and GDK are told so before any
  // other call. The worker itself never calls GTK.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(nullptr);
#endif
  gdk_threads_init();
  G_GNUC_END_IGNORE_DEPRECATIONS

  CInstallerApp app(argc, argv);
  return app.InitInstance();
}
