#include "tests/support/recording_sink.h"

#include <utility>

namespace ternis::test {

namespace {

std::string Range(std::uint16_t length, std::uint32_t offset) {
  return std::to_string(length) + "@" + std::to_string(offset);
}

}  // namespace

DateTimeCode RecordingSink::TimeForReply() {
  ++time_questions_;
  std::lock_guard lock(mutex_);
  return answer_;
}

void RecordingSink::OnBootUp(const BootUpEvent& event) {
  Record(std::string("boot ") + WriteStatusName(event.ack));
}

void RecordingSink::OnDataServed(const DataServedEvent& event) {
  std::string line = "data " + Range(event.length, event.offset) + " wrote " +
                     std::to_string(event.written) + " " + WriteStatusName(event.write);
  if (event.write_error != 0) line += " errno " + std::to_string(event.write_error);
  line += " image " + std::to_string(event.image_size);
  Record(std::move(line));
}

void RecordingSink::OnNoImage(const NoImageEvent& event) {
  Record("no-image " + Range(event.length, event.offset));
}

void RecordingSink::OnTimeServed(const TimeServedEvent& event) {
  Record("time " + FormatDateTimeCode(event.code) + " " + WriteStatusName(event.write));
}

std::vector<std::string> RecordingSink::TakeLog() {
  std::lock_guard lock(mutex_);
  return std::exchange(log_, {});
}

void RecordingSink::SetTimeAnswer(DateTimeCode code) {
  std::lock_guard lock(mutex_);
  answer_ = code;
}

void RecordingSink::Record(std::string line) {
  std::lock_guard lock(mutex_);
  log_.push_back(std::move(line));
}

}  // namespace ternis::test
