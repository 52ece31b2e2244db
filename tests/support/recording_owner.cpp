#include "tests/support/recording_owner.h"

#include <utility>

#include "protocol/constants.h"

namespace ternis::test {

std::string MessageName(std::uint32_t message) {
  switch (message) {
    case SM_PROGRESS:
      return "SM_PROGRESS";
    case SM_STATUS_TEXT:
      return "SM_STATUS_TEXT";
    case SM_GET_DATE:
      return "SM_GET_DATE";
    case SM_GET_TIME:
      return "SM_GET_TIME";
    case SM_STB_START:
      return "SM_STB_START";
    case SM_STB_START_DONE:
      return "SM_STB_START_DONE";
    case SM_STB_TIME_REQ:
      return "SM_STB_TIME_REQ";
    case SM_STB_DATA_REQ:
      return "SM_STB_DATA_REQ";
    case SM_NOTIFY_ERROR_CODE:
      return "SM_NOTIFY_ERROR_CODE";
    default:
      return std::to_string(message);
  }
}

void RecordingOwner::post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  std::string line = "post " + MessageName(message);
  if (message == SM_PROGRESS) line += " " + std::to_string(wparam) + " " + std::to_string(lparam);
  Record(std::move(line));
}

std::intptr_t RecordingOwner::send(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
  std::string line = "send " + MessageName(message);
  if (message == SM_STATUS_TEXT || message == SM_NOTIFY_ERROR_CODE)
    line += " " + std::string(reinterpret_cast<const char*>(lparam));
  Record(std::move(line));
  if (message == SM_GET_DATE) return date_answer;
  if (message == SM_GET_TIME) return time_answer;
  return 0;
}

void RecordingOwner::Record(std::string line) {
  std::lock_guard lock(mutex_);
  log_.push_back(std::move(line));
}

std::vector<std::string> RecordingOwner::TakeLog() {
  std::lock_guard lock(mutex_);
  return std::exchange(log_, {});
}

std::vector<std::intptr_t> RecordingOwner::TakePercents() {
  std::vector<std::intptr_t> percents;
  for (const std::string& line : TakeLog()) {
    static const std::string prefix = "post SM_PROGRESS 100 ";
    if (line.starts_with(prefix)) percents.push_back(std::stol(line.substr(prefix.size())));
  }
  return percents;
}

}  // namespace ternis::test
