#pragma once
// The main window's side of the serial link: (re)open and configure the
// port with given line settings, the start-up connect, and the teardown
// that closes the port and saves the settings. The box session does the
// work, and closes through a path that first lets go a receive thread
// that waits on the window.

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>

#include "link/line_settings.h"

namespace ternis {

class BoxSession;
class SettingsStore;

class LinkControl {
 public:
  // Shows a message box with an OK button only (replaced in tests): the
  // classic text, and under it what went wrong and what to do (may be empty).
  using MessageBox = std::function<void(const QString& text, const QString& detail)>;
  // Where the explanation also goes (the window's log).
  using Log = std::function<void(const QString& line)>;
  static constexpr std::uint8_t kNoPort = 255;

  LinkControl(BoxSession& session, SettingsStore& settings, MessageBox message_box);

  // Opens port `port` when it is not the one open, waits, configures, and
  // binds the port to the window. Each step that changes the port waits
  // `wait()` first, to give the line time to settle. The
  // port's lost device, while waited for, takes the settings when it is back.
  bool ConnectPort(std::uint8_t port, std::uint32_t baud, std::uint8_t data, std::uint8_t parity,
                   std::uint8_t stop);
  // The saved line settings; a failure also shows "Cannot initailize COM PORT".
  bool StartupConnect();
  // Closes the port and saves the settings; harmless twice.
  void Teardown();

  // Makes the next ConnectPort reopen (the device behind a COM name changed).
  void ForgetPort() { last_port_ = kNoPort; }
  // The COM-name table from the settings, into the port.
  void ApplyDeviceTable();

  void set_log(Log log) { log_ = std::move(log); }
  std::uint8_t last_port() const { return last_port_; }
  void set_wait(std::chrono::milliseconds wait) { wait_ = wait; }
  std::chrono::milliseconds wait() const { return wait_; }

 private:
  void Settle() const;
  // Why the port `port` could not be opened or set up, for the operator.
  QString Explain(std::uint8_t port, bool configuring, const LineSettings& line) const;
  void Refuse(const QString& text, const QString& detail);

  BoxSession& session_;
  SettingsStore& settings_;
  MessageBox message_box_;
  Log log_;
  std::uint8_t last_port_ = kNoPort;
  std::chrono::milliseconds wait_{1000};
};

}  // namespace ternis
