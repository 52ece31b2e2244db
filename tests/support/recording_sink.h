#pragma once
// An engine sink that records every event as one readable line and answers
// the time question with a code the test chooses. The lines:
//
//   boot <status>
//   data <length>@<offset> wrote <n> <status>[ errno <e>] image <size>
//   no-image <length>@<offset>
//   time <FormatDateTimeCode> <status>
//
// where <status> is WriteStatusName ("ok", "write failed", ...).

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/engine_events.h"

namespace ternis::test {

class RecordingSink : public EngineSink {
 public:
  DateTimeCode TimeForReply() override;
  void OnBootUp(const BootUpEvent& event) override;
  void OnDataServed(const DataServedEvent& event) override;
  void OnNoImage(const NoImageEvent& event) override;
  void OnTimeServed(const TimeServedEvent& event) override;

  // The lines recorded since the last call; clears them.
  std::vector<std::string> TakeLog();

  void SetTimeAnswer(DateTimeCode code);
  int time_questions() const { return time_questions_.load(); }

 private:
  void Record(std::string line);

  std::mutex mutex_;
  std::vector<std::string> log_;
  DateTimeCode answer_;
  std::atomic<int> time_questions_{0};
};

}  // namespace ternis::test
