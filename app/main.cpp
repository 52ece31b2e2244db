// ternis-download: the window. The three long-lived objects are built in
// this order and go in the reverse order: settings, application, and the
// box session with its port.

#include "app/download_app.h"
#include "app/settings_store.h"
#include "station/box_session.h"

int main(int argc, char** argv) {
  ternis::SettingsStore settings;
  ternis::DownloadApp app(argc, argv);
  ternis::BoxSession session(nullptr, {}, app.platform_kind());
  return app.InitInstance(settings, session);
}
