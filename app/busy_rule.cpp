#include "app/busy_rule.h"

namespace ternis {

bool BusyRule::OnProgress(std::int64_t percent) {
  if (after_data_request_ && percent >= 99) busy_ = true;
  return busy_;
}

void BusyRule::OnTimeRequest() {
  after_data_request_ = false;
  busy_ = false;
}

}  // namespace ternis
