#pragma once
// What the window says in words: the line under the progress bar (where the
// box stands, how its last unit ended), the tally of units and the identity of
// the file it serves. A unit's log line is the station's DescribeUnit.

#include <QString>
#include <string>

#include "station/box_session.h"
#include "station/station_texts.h"  // DescribeUnit
#include "station/unit_record.h"

namespace ternis {

enum class Tone { kPlain, kGood, kBad };

struct StatusText {
  QString text;
  Tone tone = Tone::kPlain;
  bool operator==(const StatusText&) const = default;
};

// "Unit 3: sending the file", "Unit 3 passed in 12.4 s",
// "Waiting for /dev/ttyUSB0: device lost", ...
StatusText DescribeSession(const SessionSnapshot& snapshot);

// "2 passed · 1 failed"; empty before the first unit ends.
QString DescribeTally(const SessionSnapshot& snapshot);

// The first 8 hex digits: enough to tell files apart at a glance.
QString ShortDigest(const std::string& sha256);

// "409600 bytes · SHA-256 3f2a9c1e"
QString DescribeIdentity(const ImageIdentity& identity);

}  // namespace ternis
