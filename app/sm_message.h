#pragma once
// The main window's private message ids. The numbers are WM_USER (0x400)
// based and never change, so traces and tools agree on them.

#include <cstdint>

namespace ternis {

enum SmMessage : std::uint32_t {
  SM_PROGRESS = 1054,           // range top (100) and percent
  SM_STATUS_TEXT = 1055,        // a status text
  SM_GET_DATE = 1056,           // the box asked for the time (date part)
  SM_GET_TIME = 1057,           // the box asked for the time (time part)
  SM_STB_START = 1058,          // a boot-up frame arrived
  SM_STB_START_DONE = 1059,     // boot-up handled
  SM_STB_TIME_REQ = 1060,       // a time request arrived
  SM_STB_DATA_REQ = 1061,       // a data request arrived
  SM_NOTIFY_ERROR_CODE = 1124,  // the diagnostic text of a lost device
};

}  // namespace ternis
