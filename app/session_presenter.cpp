#include "app/session_presenter.h"

#include <algorithm>
#include <chrono>

#include "app/file_selection.h"
#include "app/window_palette.h"
#include "controls/styled_label.h"
#include "station/box_session.h"

namespace ternis {

SessionPresenter::SessionPresenter(BoxSession& session, const FileSelection& files,
                                   StyledLabel* tally, StyledLabel* status_line, Hooks hooks)
    : session_(session),
      files_(files),
      tally_(tally),
      status_line_(status_line),
      hooks_(std::move(hooks)) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Service(); });
}

void SessionPresenter::Service() {
  session_.Service();
  for (const SessionNotice& notice : session_.TakeNotices()) {
    if (notice.kind == NoticeKind::kUnitStarted) {
      hooks_.unit_started();
      hooks_.log("Unit " + std::to_string(notice.unit) + " started (" + notice.text + ").");
    } else {
      hooks_.log(session_.Snapshot().device + ": " + notice.text);
    }
  }
  for (const UnitResult& result : session_.TakeResults()) {
    const std::string text = DescribeUnit(result, files_.IdentityOf(result.image_id));
    hooks_.log(text);
    hooks_.unit_ended(result, text);
  }
  ShowState();
  timer_.stop();
  if (const auto due = session_.NextService()) {
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
    timer_.start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)));
  }
}

void SessionPresenter::ShowState() {
  const SessionSnapshot snapshot = session_.Snapshot();
  const QString tally = DescribeTally(snapshot);
  if (tally != tally_->text()) {
    tally_->SetLabelText(tally);
    tally_->setVisible(!tally.isEmpty());
  }
  const StatusText status = DescribeSession(snapshot);
  if (status == shown_status_) return;  // the label repaints at once when set
  shown_status_ = status;
  status_line_->SetForeColor(ColourOf(status.tone));
  status_line_->SetLabelText(status.text);
  status_line_->setToolTip(status.text);
  hooks_.status_shown(status.text);
}

}  // namespace ternis
