// ternis-download: the window. The three long-lived objects are built in
// this order and go in the reverse order: settings, application, and the
// box session with its port. `--station` opens the station window instead.

#include <cstdio>
#include <cstring>

#include "app/download_app.h"
#include "app/settings_store.h"
#include "station/box_session.h"
#include "station_window/station_main.h"

namespace {

constexpr char kUsage[] =
    "Usage: ternis-download [--station [[NAME=]DEVICE...]]\n"
    "Loads a key file or a firmware image into a set-top box over a serial line.\n"
    "\n"
    "  --station   the station window: one file served to many boxes at once\n"
    "              (ternis-download --station --help says more)\n"
    "  -h, --help  show this help\n"
    "\n"
    "The settings are kept in ~/.config/Halvek/Velko.conf, the log in\n"
    "~/.local/state/ternis/download.log.\n";

bool WantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ternis::WantsStationWindow(argc, argv) && WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (ternis::WantsStationWindow(argc, argv)) {
    ternis::DownloadApp app(argc, argv);
    return ternis::RunStationWindow(app, app.arguments());
  }
  ternis::SettingsStore settings;
  ternis::DownloadApp app(argc, argv);
  ternis::BoxSession session(nullptr);
  return app.InitInstance(settings, session);
}
