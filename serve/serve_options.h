#pragma once
// Command line of ternis-serve.

#include <optional>
#include <string>
#include <vector>

#include "link/line_settings.h"
#include "station/slot_spec.h"
#include "station/station_setup.h"

namespace ternis::serve {


struct ServeOptions {
  std::string file;
  LineSettings line;  // 115200 8N1 unless told otherwise
  bool once = false;
  std::optional<double> timeout_seconds;
  double unit_timeout_seconds = 30;  // 0: never
  std::string record_path;           // empty: no record file
  bool json = false;
  bool verbose = false;
  bool key = false;      // the file is a secret: care with permissions and memory
  bool journal = false;  // results to the systemd journal too
  bool list = false;     // --list: show the serial devices and exit
  std::string key_pool;  // a folder of keys, one for each box, instead of the file
  std::size_t pool_low = 10;  // warn once when ready/ falls to this many keys
  std::string pool_return;    // --pool-return NAME: a spoiled key back to ready/, and exit
  bool pool_status = false;   // --pool-status: the pool's counts, and exit
  std::string station_name;   // with every record and key state; empty: the host name
  std::string db_spool;       // ends waiting for the database; empty: the default place
  std::string db_init;        // --db-init URI: create the schema, and exit
  std::string pool_import;    // --pool-import DIR: key files into a database pool, and exit
  double silent_for = 600;    // --pool-status lists keys of stations silent this long
  std::vector<SlotSpec> slots;
};

enum class ParseOutcome { kRun, kHelp, kBadArguments, kBadConfig };

// Fills options from argv; on kBadArguments or kBadConfig (the station file),
// error says what is wrong.
ParseOutcome ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error);


// One setting by its long option name ('_' or '-'), as the command line
// and the config file give it; flags take "", true/false, yes/no, on/off, 1/0.
bool ApplySetting(ServeOptions& options, const std::string& name, const std::string& value,
                  std::string& error);

// The station these options describe.
StationChoice ChoiceOf(const ServeOptions& options);

extern const char kServeUsage[];

}  // namespace ternis::serve
