// A port on a simulated null modem, served by the real dispatcher threads, with the
// QtHost as its window thread; waits run Qt's event loop with generous bounds.
#pragma once

#include <QtTest>
#include <atomic>
#include <memory>
#include <string>

#include "gui/qt_host.h"
#include "serial/com_port.h"
#include "serial/device_sim.h"

namespace zarnik {

class PortRig {
 public:
  PortRig() : port(host) {
    static std::atomic<int> lines{0};
    modem = SimNullModem::Create("widgets-" + std::to_string(++lines));
    host.autoAnswer = true;
    port.SetDevicePath(modem->Path());
    port.SetAutoOpen(false);
    port.SetBaud(38400);
  }
  ~PortRig() {
    try {
      port.SetOpen(false);
    } catch (const ESerialException&) {
    }
  }
  // Everything the far end sent so far, gathered until it holds at least n bytes.
  std::string PeerRead(size_t n) {
    if (!QTest::qWaitFor([&] { return modem->PeerAvailable() >= n; }, 5000)) return {};
    return modem->PeerReadAll();
  }

  QtHost host;
  std::shared_ptr<SimNullModem> modem;
  TComPort port;
};

}  // namespace zarnik
