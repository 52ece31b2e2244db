#include "station_window/station_main.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/download_app.h"
#include "station_window/station_settings.h"
#include "station_window/station_window.h"

namespace ternis {

namespace {

constexpr char kUsage[] =
    "Usage: ternis-download --station [[NAME=]DEVICE...]\n"
    "Opens the station window: one file served to a box on each DEVICE at once,\n"
    "unit after unit, one row per slot.\n"
    "\n"
    "  [NAME=]DEVICE   a slot; NAME is letters, digits, '-', '_' and '.' (the\n"
    "                  device path when none is given). Slots given here replace\n"
    "                  the ones kept from the last run; with none, those come back.\n"
    "  -h, --help      show this help\n"
    "\n"
    "The slots, the file and the record file are kept in the settings file, group\n"
    "[Station]; the line settings are the COM port panel's.\n";

enum class Outcome { kRun, kHelp, kBad };

Outcome ParseArguments(const QStringList& arguments, std::vector<SlotSpec>& slot_specs,
                       std::string& error) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const std::string argument = arguments[i].toStdString();
    if (argument == "--station") continue;
    if (argument == "--help" || argument == "-h") return Outcome::kHelp;
    if (argument.starts_with("-")) {
      error = "unknown option " + argument;
      return Outcome::kBad;
    }
    SlotSpec slot;
    if (!ParseSlot(argument, slot, error)) return Outcome::kBad;
    slot_specs.push_back(std::move(slot));
  }
  return CheckUnique(slot_specs, error) ? Outcome::kRun : Outcome::kBad;
}

}  // namespace

bool WantsStationWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--station") == 0) return true;
  return false;
}

int RunStationWindow(DownloadApp& app, const QStringList& arguments) {
  std::vector<SlotSpec> slot_specs;
  std::string error;
  switch (ParseArguments(arguments, slot_specs, error)) {
    case Outcome::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case Outcome::kBad:
      std::fprintf(stderr, "ternis-download: %s\n\n%s", error.c_str(), kUsage);
      return 2;
    case Outcome::kRun:
      break;
  }
  StationWindowSettings settings;
  settings.Load();
  if (!slot_specs.empty()) settings.slot_specs = std::move(slot_specs);
  StationWindow window(settings);
  // A signal, even inside a dialog, ends the station the same way as closing it.
  app.SetTerminationHandler([&window] { window.End(); }, &window);
  QObject::connect(&window, &StationWindow::finished, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  window.Start();
  if (!app.ending()) {
    window.show();
    app.exec();
  }
  window.End();
  app.SetTerminationHandler(nullptr);
  return 0;
}

}  // namespace ternis
