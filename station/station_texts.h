#pragma once
// What a station says in words, for both of its front ends (the server's
// console and the station window's log and rows): a unit's result, the
// line of each notice, the identity of the file served.

#include <optional>
#include <string>

#include "station/station.h"

namespace ternis {

// Said once when a key could not be kept out of swap.
inline constexpr char kKeyNotLockedLine[] =
    "the key could not be locked in memory (RLIMIT_MEMLOCK); it may reach swap";

// "unit 3 PASS in 12.4 s", "unit 4 FAIL after 2.0 s: device lost at 37 %".
std::string ResultText(const UnitResult& result);
// DescribeResult's line, then the file the unit was served from when known:
// "unit 1 PASS in 3.2 s, 409600 bytes, 100 requests; firmware.hex sha256 3f2a…".
std::string DescribeUnit(const UnitResult& result, const ImageIdentity* identity);
// "PASS in 93.9 s", "FAIL in 2.0 s: device lost at 37 %"; the state's name
// while a unit is in progress or before the first result.
std::string PhaseText(const SessionSnapshot& s, bool in_unit);
// "firmware.bin (409600 bytes, sha256 3f2a...)" with the whole digest.
std::string IdentityText(const ImageIdentity& identity);

// The line a notice says about its slot; none for a port that cannot be
// opened once the station stops (nothing to wait for any more).
// `stopping`: a lost device is not waited for.
std::optional<std::string> NoticeLine(const StationEvent& event, bool stopping);

}  // namespace ternis
