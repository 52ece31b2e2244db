#pragma once
// The station view of ternis-download: `ternis-download --station
// [NAME=]DEVICE...` serves many boxes at once, one row per slot.

#include <QStringList>

namespace ternis {

class DownloadApp;

// True when the command line asks for the station window.
bool WantsStationWindow(int argc, char** argv);

// Runs the station window until it ends; returns the exit code (2 for a
// command line that cannot be used, with the reason on stderr).
int RunStationWindow(DownloadApp& app, const QStringList& arguments);

}  // namespace ternis
