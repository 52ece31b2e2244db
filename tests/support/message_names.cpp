#include "app/sm_message.h"
#include "tests/support/message_names.h"


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

}  // namespace ternis::test
