#include "app/link_control.h"

#include <QThread>
#include <cerrno>

#include "app/settings_store.h"
#include "station/box_session.h"
#include "station/port_diagnosis.h"

namespace ternis {

LinkControl::LinkControl(BoxSession& session, SettingsStore& settings, MessageBox message_box)
    : session_(session), settings_(settings), message_box_(std::move(message_box)) {}

void LinkControl::Settle() const {
  if (wait_.count() > 0) QThread::msleep(static_cast<unsigned long>(wait_.count()));
}

void LinkControl::ApplyDeviceTable() {
  session_.SetPortPaths(
      {{"COM1", settings_.COM1.toStdString()}, {"COM2", settings_.COM2.toStdString()}});
}

bool LinkControl::ConnectPort(std::uint8_t port, std::uint32_t baud, std::uint8_t data,
                              std::uint8_t parity, std::uint8_t stop) {
  if (port == last_port_ && session_.KeepForReopen({baud, data, parity, stop})) return true;
  if (port != last_port_) {
    Settle();
    session_.Close();
    if (!session_.OpenIndex(port)) {
      Refuse(QStringLiteral("Cannot open COM port"), Explain(port, false, {baud, data, parity, stop}));
      last_port_ = kNoPort;
      return false;
    }
  }
  Settle();
  last_port_ = port;
  if (!session_.Configure({baud, data, parity, stop})) {
    Refuse(QStringLiteral("Cannot setup opened COM port"),
           Explain(port, true, {baud, data, parity, stop}));
    session_.Close();
    last_port_ = kNoPort;
    return false;
  }
  return true;
}

bool LinkControl::StartupConnect() {
  ApplyDeviceTable();
  const bool connected = ConnectPort(static_cast<std::uint8_t>(settings_.Port), settings_.Baudrate,
                                     static_cast<std::uint8_t>(settings_.Data),
                                     static_cast<std::uint8_t>(settings_.Parity),
                                     static_cast<std::uint8_t>(settings_.Stop));
  if (!connected) message_box_(QStringLiteral("Cannot initailize COM PORT"), QString());
  return connected;
}

QString LinkControl::Explain(std::uint8_t port, bool configuring, const LineSettings& line) const {
  const QString* device = settings_.DeviceSlot(port);
  if (!device || device->isEmpty()) return QStringLiteral("COM%1 has no device").arg(port + 1);
  return QString::fromStdString(
      DiagnoseBoxPort(device->toStdString(), session_.port().GetLastError(), configuring, line)
          .Text());
}

void LinkControl::Refuse(const QString& text, const QString& detail) {
  if (log_) log_(text + QStringLiteral(": ") + detail);
  message_box_(text, detail);
}

// A unit in progress ends as aborted; the port closes through the session.
void LinkControl::Teardown() {
  session_.Stop();
  settings_.Save();
}

}  // namespace ternis
