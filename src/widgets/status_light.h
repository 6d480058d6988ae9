// The line lamps: TStatusLight, a small lit/unlit lamp, and TSLController, which
// watches a port through its trigger events and switches the lamps.
//
// How the controller works: while monitoring, it puts its own data-available,
// status and timer handlers in the port's events, remembering the ones it replaced,
// and calls those after its own work, so the program's handlers still see every
// event. Triggers: a modem-status trigger for the CTS/DSR/DCD/ring lamps, a
// line-error and a break trigger with their off-timers, an output-sent trigger with
// the TXD off-timer, and an RXD off-timer; each exists only when its lamp is
// assigned. A lamp that flashes stays lit until its off-timer expires with nothing
// left to report (RXD: the input buffer is empty; TXD: the output buffer is).
// Closing the port switches monitoring off and gives the port its handlers back;
// opening it again switches monitoring back on.
//
// Threading: window thread only (the port's events run there).
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>

#include "serial/com_port.h"
#include "terminal/terminal_types.h"

namespace zarnik {

class TCustomStatusLight : public QWidget {
 public:
  static constexpr TColor kDefaultLitColor = 0x0000FF;     // red
  static constexpr TColor kDefaultNotLitColor = 0x008000;  // green
  static constexpr int kDefaultSize = 13;

  explicit TCustomStatusLight(QWidget* parent = nullptr);

  bool Lit() const { return lit_; }
  void SetLit(bool on);
  TColor LitColor() const { return litColor_; }
  void SetLitColor(TColor c);
  TColor NotLitColor() const { return notLitColor_; }
  void SetNotLitColor(TColor c);
  // Lit image in the left half, unlit in the right; the top-left pixel's colour is
  // transparent. A null image: the plain lamp.
  const QImage& Glyph() const { return glyph_; }
  void SetGlyph(const QImage& glyph);

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  bool lit_ = false;
  TColor litColor_ = kDefaultLitColor;
  TColor notLitColor_ = kDefaultNotLitColor;
  QImage glyph_;
};

class TStatusLight : public TCustomStatusLight {
 public:
  using TCustomStatusLight::TCustomStatusLight;
};

// The lamps a controller drives; each may be left empty.
struct TLightSet {
  TCustomStatusLight* CTSLight = nullptr;
  TCustomStatusLight* DSRLight = nullptr;
  TCustomStatusLight* DCDLight = nullptr;
  TCustomStatusLight* RINGLight = nullptr;
  TCustomStatusLight* TXDLight = nullptr;
  TCustomStatusLight* RXDLight = nullptr;
  TCustomStatusLight* ERRORLight = nullptr;
  TCustomStatusLight* BREAKLight = nullptr;
};

class TCustomSLController : public TComponent {
 public:
  // Line-error bits that light the error lamp, and the break bit.
  static constexpr uint16_t kErrorMask = 7;
  static constexpr uint16_t kBreakMask = 0x10;

  // Takes the first port among the owner's components, if any.
  explicit TCustomSLController(TComponent* owner = nullptr);
  ~TCustomSLController() override;

  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* port);
  TLightSet Lights;
  bool Monitoring() const { return monitoring_; }
  // Throws EPortNotAssigned without a port. On a closed port, switching on waits for
  // the port to open.
  void SetMonitoring(bool on);

  // Off-times in ticks of 55 ms.
  int32_t ErrorOffTimeout = 36;
  int32_t BreakOffTimeout = 36;
  int32_t RXDOffTimeout = 1;
  int32_t TXDOffTimeout = 1;
  int32_t RingOffTimeout = 8;

  uint16_t ModemMask() const { return modemMask_; }

 private:
  void AddTriggers();
  void RemoveTriggers();
  void InitLights();
  void StatPortClose(TCustomComPort& port, bool opening);
  void TriggerAvail(PortContract& cp, uint16_t count);
  void TriggerStatus(TCustomComPort& cp, uint16_t handle);
  void TriggerTimer(TCustomComPort& cp, uint16_t handle);
  static void Light(TCustomStatusLight* lamp, bool on) {
    if (lamp) lamp->SetLit(on);
  }

  TCustomComPort* port_ = nullptr;
  bool monitoring_ = false;
  bool wanted_ = false;  // asked for while the port was closed
  TTriggerAvailEvent savedAvail_;
  TTriggerHandleEvent savedStatus_;
  TTriggerHandleEvent savedTimer_;
  uint16_t modemMask_ = 0;
  uint16_t modemTrigger_ = 0, ringTimer_ = 0;
  uint16_t errorTrigger_ = 0, errorTimer_ = 0;
  uint16_t breakTrigger_ = 0, breakTimer_ = 0;
  uint16_t rxdTimer_ = 0;
  uint16_t txdTrigger_ = 0, txdTimer_ = 0;
  bool staleTriggers_ = false;  // ours, kept by the port across its close
};

class TSLController : public TCustomSLController {
 public:
  using TCustomSLController::TCustomSLController;
};

}  // namespace zarnik
