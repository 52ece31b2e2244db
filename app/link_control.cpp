#include "app/link_control.h"

#include <QThread>

#include "app/settings_store.h"
#include "app/window_link.h"
#include "link/serial_port.h"

namespace ternis {

LinkControl::LinkControl(SerialPort& port, SettingsStore& settings, WindowLink& window,
                         MessageBox message_box)
    : port_(port), settings_(settings), window_(window), message_box_(std::move(message_box)) {}

void LinkControl::Settle() const {
  if (wait_.count() > 0) QThread::msleep(static_cast<unsigned long>(wait_.count()));
}

void LinkControl::ApplyDeviceTable() {
  port_.SetPortPaths(
      {{"COM1", settings_.COM1.toStdString()}, {"COM2", settings_.COM2.toStdString()}});
}

// The receive thread may be waiting for the window; let it go first.
void LinkControl::ClosePort() {
  window_.SetClosing(true);
  port_.Close();
  window_.SetClosing(false);
}

bool LinkControl::ConnectPort(std::uint8_t port, std::uint32_t baud, std::uint8_t data,
                              std::uint8_t parity, std::uint8_t stop) {
  if (port != last_port_) {
    Settle();
    ClosePort();
    if (!port_.Open(port)) {
      message_box_(QStringLiteral("Cannot open COM port"));
      last_port_ = kNoPort;
      return false;
    }
  }
  Settle();
  last_port_ = port;
  if (!port_.Configure(baud, data, parity, stop)) {
    message_box_(QStringLiteral("Cannot setup opened COM port"));
    ClosePort();
    last_port_ = kNoPort;
    return false;
  }
  port_.SetNotifyWindow(&window_);
  return true;
}

bool LinkControl::StartupConnect() {
  ApplyDeviceTable();
  const bool connected = ConnectPort(static_cast<std::uint8_t>(settings_.Port), settings_.Baudrate,
                                     static_cast<std::uint8_t>(settings_.Data),
                                     static_cast<std::uint8_t>(settings_.Parity),
                                     static_cast<std::uint8_t>(settings_.Stop));
  if (!connected) message_box_(QStringLiteral("Cannot initailize COM PORT"));
  return connected;
}

void LinkControl::Teardown() {
  ClosePort();
  settings_.Save();
}

}  // namespace ternis
