#pragma once
// Unit results to the systemd journal, with fields to select them by:
// journalctl TERNIS_RESULT=fail, TERNIS_SLOT=s3, TERNIS_SHA256=..., and
// journald's own forwarding gathers many stations in one place.

#include "station/unit_record.h"

namespace ternis::serve {

class JournalLog {
 public:
  // On when asked, or when stderr is the journal (started by systemd).
  explicit JournalLog(bool asked) : enabled_(asked || StderrIsJournal()) {}
  bool enabled() const { return enabled_; }
  void Unit(const UnitRecord& record) const;

  static bool StderrIsJournal();

 private:
  bool enabled_;
};

}  // namespace ternis::serve
