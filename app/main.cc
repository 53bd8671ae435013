#include "app/installer_app.h"

int main(int argc, char** argv) {
  CInstallerApp app(argc, argv);
  return app.InitInstance();
}
