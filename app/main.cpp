// ternis-download: the window. The three long-lived objects are built in
// this order and go in the reverse order: settings, application, port.

#include "app/download_app.h"
#include "app/settings_store.h"
#include "link/serial_port.h"

int main(int argc, char** argv) {
  ternis::SettingsStore settings;
  ternis::DownloadApp app(argc, argv);
  ternis::SerialPort port(app.platform_kind());
  return app.InitInstance(settings, port);
}
