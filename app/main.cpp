// ternis-download: the window. The three long-lived objects are built in
// this order and go in the reverse order: settings, application, and the
// box session with its port. `--station` opens the station window instead.

#include "app/download_app.h"
#include "app/settings_store.h"
#include "station/box_session.h"
#include "station_window/station_main.h"

int main(int argc, char** argv) {
  if (ternis::WantsStationWindow(argc, argv)) {
    ternis::DownloadApp app(argc, argv);
    return ternis::RunStationWindow(app, app.arguments());
  }
  ternis::SettingsStore settings;
  ternis::DownloadApp app(argc, argv);
  ternis::BoxSession session(nullptr, {}, app.platform_kind());
  return app.InitInstance(settings, session);
}
