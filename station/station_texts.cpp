#include "station/station_texts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace ternis {

std::string ResultText(const UnitResult& r) {
  const char* word = r.outcome == UnitOutcome::kPass   ? "PASS in"
                     : r.outcome == UnitOutcome::kFail ? "FAIL after"
                                                       : "ABORTED after";
  char text[96];
  std::snprintf(text, sizeof text, "unit %llu %s %.1f s", static_cast<unsigned long long>(r.number),
                word, r.duration_s);
  std::string line = text;
  if (!r.reason.empty()) line += ": " + r.reason;
  return line;
}

std::string DescribeUnit(const UnitResult& result, const ImageIdentity* identity) {
  std::string line = DescribeResult(result);
  if (identity) {
    line += "; " + std::filesystem::path(identity->path).filename().string() + " sha256 " +
            identity->sha256;
  }
  return line;
}

std::string PhaseText(const SessionSnapshot& s, bool in_unit) {
  if (in_unit || !s.last_result) {
    std::string phase = SlotStateName(s.state);
    // Missing or gone is the usual case; anything else says why.
    if (s.state == SlotState::kWaitingForDevice && s.problem_error != 0 &&
        s.problem_error != ENOENT && s.problem_error != ENODEV)
      phase += std::string(": ") + std::strerror(s.problem_error);
    return phase;
  }
  const UnitResult& r = *s.last_result;
  char text[64];
  std::snprintf(text, sizeof text, "%s in %.1f s",
                r.outcome == UnitOutcome::kPass   ? "PASS"
                : r.outcome == UnitOutcome::kFail ? "FAIL"
                                                  : "ABORTED",
                r.duration_s);
  std::string phase = text;
  if (!r.reason.empty()) phase += ": " + r.reason;
  if (s.state == SlotState::kWaitingForDevice) phase += "; waiting for device";
  return phase;
}

std::string IdentityText(const ImageIdentity& identity) {
  return identity.path + " (" + std::to_string(identity.size) + " bytes, sha256 " +
         identity.sha256 + ")";
}

std::optional<std::string> NoticeLine(const StationEvent& event, bool stopping) {
  const SessionNotice& notice = event.notice;
  switch (notice.kind) {
    case NoticeKind::kUnitStarted:
      return "unit " + std::to_string(notice.unit) + " started (" + notice.text + ")";
    case NoticeKind::kDeviceLost:
      return notice.text + (stopping ? "" : "; waiting for it to come back");
    case NoticeKind::kCannotOpen:
      if (!event.diagnosis) return std::nullopt;
      return event.diagnosis->Text() +
             (notice.error == ENOENT ? "; waiting for it" : "; trying again every few seconds");
    case NoticeKind::kConnected:
      return notice.text;
  }
  return std::nullopt;
}

}  // namespace ternis
