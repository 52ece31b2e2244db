#pragma once
// The session as the window shows it: runs the session's upkeep when told it
// changed or when its next service is due, logs its notices and each unit's
// result, and keeps the tally and the line under the progress bar current.

#include <QString>
#include <QTimer>
#include <functional>
#include <string>

#include "app/window_texts.h"
#include "station/unit_record.h"

namespace ternis {

class BoxSession;
class FileSelection;
class StyledLabel;

class SessionPresenter {
 public:
  struct Hooks {
    std::function<void(const std::string& line)> log;
    std::function<void()> unit_started;  // before its log line
    // After its log line, with the line.
    std::function<void(const UnitResult& result, const std::string& text)> unit_ended;
    std::function<void(const QString& text)> status_shown;
  };

  SessionPresenter(BoxSession& session, const FileSelection& files, StyledLabel* tally,
                   StyledLabel* status_line, Hooks hooks);

  // Runs the session's upkeep and shows its news: units, a lost device, the state.
  void Service();
  void ShowState();

 private:
  BoxSession& session_;
  const FileSelection& files_;
  StyledLabel* tally_;
  StyledLabel* status_line_;
  Hooks hooks_;
  QTimer timer_;
  StatusText shown_status_;
};

}  // namespace ternis
