#include "serve/journal_log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>

#include "station/printable_text.h"

namespace ternis::serve {

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected.
bool JournalLog::StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  return ::fstat(2, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

void JournalLog::Unit(const UnitRecord& record) const {
  if (!enabled_) return;
  const UnitResult& r = record.result;
  const std::string message = PrintableText(record.slot + ": " + DescribeResult(r));
  sd_journal_send("MESSAGE=%s", message.c_str(),
                  "PRIORITY=%d", r.outcome == UnitOutcome::kPass ? LOG_INFO : LOG_WARNING,
                  "TERNIS_SLOT=%s", record.slot.c_str(),
                  "TERNIS_DEVICE=%s", record.device.c_str(),
                  "TERNIS_UNIT=%llu", static_cast<unsigned long long>(r.number),
                  "TERNIS_RESULT=%s", OutcomeName(r.outcome),
                  "TERNIS_REASON=%s", r.reason.c_str(),
                  "TERNIS_IMAGE=%s", record.image.path.c_str(),
                  "TERNIS_SHA256=%s", record.image.sha256.c_str(),
                  "TERNIS_KEY_NAME=%s", record.image.key_name.c_str(),
                  "TERNIS_HOST=%s", record.host.c_str(),
                  nullptr);
}

}  // namespace ternis::serve
