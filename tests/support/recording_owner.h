#pragma once
// An owner window that records every message as a readable line, such as
// "post SM_PROGRESS 100 37" or "send SM_STATUS_TEXT Complete KEY file.",
// and answers the date and time queries with values the test chooses.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/owner_window.h"

namespace ternis::test {

class RecordingOwner : public OwnerWindow {
 public:
  void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  std::intptr_t send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  void update() override { ++updates; }

  std::vector<std::string> TakeLog();
  std::vector<std::intptr_t> TakePercents();  // lParam of every SM_PROGRESS, in order

  std::atomic<std::intptr_t> date_answer{0};
  std::atomic<std::intptr_t> time_answer{0};
  std::atomic<int> updates{0};

 private:
  void Record(std::string line);

  std::mutex mutex_;
  std::vector<std::string> log_;
};

std::string MessageName(std::uint32_t message);

}  // namespace ternis::test
