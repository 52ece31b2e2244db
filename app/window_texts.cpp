#include "app/window_texts.h"


namespace ternis {

namespace {

QString Device(const SessionSnapshot& s) {
  return QString::fromStdString(s.device);
}

QString Ended(const UnitResult& r) {
  if (r.outcome == UnitOutcome::kPass)
    return QStringLiteral("Unit %1 passed in %2 s").arg(r.number).arg(r.duration_s, 0, 'f', 1);
  const char* verb = r.outcome == UnitOutcome::kFail ? "failed" : "aborted";
  return QStringLiteral("Unit %1 %2: %3").arg(r.number).arg(verb, QString::fromStdString(r.reason));
}

Tone ToneOf(const UnitResult& r) {
  return r.outcome == UnitOutcome::kPass ? Tone::kGood : Tone::kBad;
}

// "; waiting for the device" when the result already says why it is gone.
QString Waiting(const SessionSnapshot& s) {
  if (s.last_result->reason.starts_with(s.problem))
    return QStringLiteral("; waiting for the device");
  return QStringLiteral("; %1, waiting").arg(QString::fromStdString(s.problem));
}

}  // namespace

StatusText DescribeSession(const SessionSnapshot& s) {
  const QString unit = QStringLiteral("Unit %1: ").arg(s.unit);
  const QString problem = QString::fromStdString(s.problem);
  switch (s.state) {
    case SlotState::kClosed:
      return {s.device.empty() ? QStringLiteral("No port open")
                               : Device(s) + QStringLiteral(" is closed"),
              Tone::kBad};
    case SlotState::kWaitingForDevice:
      // The last unit's outcome still counts most; the device comes second.
      if (s.last_result) return {Ended(*s.last_result) + Waiting(s), ToneOf(*s.last_result)};
      return {QStringLiteral("Waiting for %1: %2").arg(Device(s), problem), Tone::kBad};
    case SlotState::kConnected:
      return {QStringLiteral("Ready on %1: waiting for the box").arg(Device(s))};
    case SlotState::kBooted:
      return {unit + QStringLiteral("the box booted")};
    case SlotState::kServing:
      return {unit + QStringLiteral("sending the file")};
    case SlotState::kWriting:
      return {unit + QStringLiteral("file sent, the box is writing")};
    case SlotState::kWaitingForKey:
      return {QStringLiteral("The box booted: waiting for a key"), Tone::kBad};
    case SlotState::kPassed:
    case SlotState::kFailed:
    case SlotState::kAborted:
      break;
  }
  if (!s.last_result) return {};
  return {Ended(*s.last_result), ToneOf(*s.last_result)};
}

QString DescribeTally(const SessionSnapshot& s) {
  if (s.passed + s.failed == 0) return {};
  return QStringLiteral("%1 passed \u00b7 %2 failed").arg(s.passed).arg(s.failed);
}

QString ShortDigest(const std::string& sha256) {
  return QString::fromStdString(sha256.substr(0, 8));
}

QString DescribeIdentity(const ImageIdentity& identity) {
  return QStringLiteral("%1 bytes \u00b7 SHA-256 %2")
      .arg(identity.size)
      .arg(ShortDigest(identity.sha256));
}

}  // namespace ternis
